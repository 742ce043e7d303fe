// The File menu on the panes: open, clear, save and print, and the change flags they keep.
#include "app/Form1.h"
#include "panes/CommonDialog.h"
#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"
#include "recovery/RecoverySet.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/WindowOnPty.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLocale>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <limits>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A Unix socket: a name in the folder that no one can open as a file, root included.
class SocketFile
{
public:
    explicit SocketFile(const QString &path)
    {
        const QByteArray name = QFile::encodeName(path);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        if (size_t(name.size()) >= sizeof address.sun_path)
            return;
        std::copy(name.begin(), name.end(), address.sun_path);
        m_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (m_fd >= 0
            && ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~SocketFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SocketFile(const SocketFile &) = delete;
    SocketFile &operator=(const SocketFile &) = delete;
    bool isValid() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// The text of a one-page PDF as pdftotext reads it, one entry per non-empty line, without the
// page number at the foot of the page.
QStringList pdfLines(const QString &path)
{
    QProcess pdftotext;
    pdftotext.start(QStringLiteral("pdftotext"), {path, QStringLiteral("-")});
    if (!pdftotext.waitForFinished(30000) || pdftotext.exitCode() != 0)
        return {QStringLiteral("<pdftotext failed>")};
    QStringList lines;
    for (const QString &line : QString::fromUtf8(pdftotext.readAllStandardOutput()).split(u'\n')) {
        const QString trimmed = line.trimmed().remove(QChar(u'\f'));
        if (!trimmed.isEmpty())
            lines << trimmed;
    }
    if (!lines.isEmpty() && lines.last() == QStringLiteral("1"))
        lines.removeLast();
    return lines;
}

// Every pointer shape the window took, in order, with whether the printout existed by then.
class CursorWatch : public QObject
{
public:
    CursorWatch(QWidget *window, const QString &printout) : m_window(window), m_printout(printout)
    {
        window->installEventFilter(this);
    }

    struct Change
    {
        Qt::CursorShape shape;
        bool printoutExisted;
    };
    QList<Change> changes;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Qt may announce one change more than once; a repeat of the same shape is no change.
        if (watched == m_window && event->type() == QEvent::CursorChange
            && (changes.isEmpty() || changes.last().shape != m_window->cursor().shape()))
            changes.append({m_window->cursor().shape(), QFileInfo(m_printout).size() > 0});
        return false;
    }

private:
    QWidget *m_window;
    QString m_printout;
};

// Empty when the dialog is the window's report of a failed file or printer: critical, titled
// Kavrel, with an OK button, the target and then the system's reason in its informative text.
QString failureReportMismatch(const ShownDialog &shown, const QString &text, const QString &target)
{
    const QString native = QDir::toNativeSeparators(target);
    if (shown.kind == QStringLiteral("QMessageBox") && shown.title == QStringLiteral("Kavrel")
        && shown.text == text && shown.icon == QMessageBox::Critical
        && shown.buttons == QMessageBox::StandardButtons(QMessageBox::Ok)
        && shown.informativeText.startsWith(native)
        && shown.informativeText.trimmed().size() > native.size())
        return {};
    return QStringLiteral("%1 \"%2\" icon %3 buttons %4, informative: %5")
        .arg(shown.kind, shown.text)
        .arg(int(shown.icon))
        .arg(int(shown.buttons))
        .arg(shown.informativeText);
}

// Either pane, driven through the properties both carry.
QWidget *pane(Form1 &form, int index)
{
    return index == 1 ? static_cast<QWidget *>(form.RichTextBox1) : form.RichTextBox2;
}

QString textOf(QWidget *pane)
{
    return pane->property("Text").toString();
}

} // namespace

class TestPaneFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void openLoadsTheSendPaneAndFlagsIt();
    void openFailureIsReported_data();
    void openFailureIsReported();
    void cancelledDialogsStaySilent();
    void saveWritesThePaneAndClearsItsFlag_data();
    void saveWritesThePaneAndClearsItsFlag();
    void failedSaveIsReportedAndKeepsTheFlag_data();
    void failedSaveIsReportedAndKeepsTheFlag();
    void newOnAnEmptyPaneAsksNothing_data();
    void newOnAnEmptyPaneAsksNothing();
    void newAnswered_data();
    void newAnswered();
    void clearingRemovesWhatWasThereWhenAsked();
    void clearingAPanePastTheIntRangeLeavesNothing();
    void sendPaneIsNotReplacedWhileItIsSent();
    void printsSelectionOrWholePane_data();
    void printsSelectionOrWholePane();
    void printFailureIsReported();

private:
    std::unique_ptr<QTemporaryDir> m_settings;
    std::unique_ptr<QTemporaryDir> m_files;
};

void TestPaneFiles::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestPaneFiles::init()
{
    m_settings = std::make_unique<QTemporaryDir>();
    m_files = std::make_unique<QTemporaryDir>();
    QVERIFY(m_settings->isValid() && m_files->isValid());
    overrideSettingsFolder(m_settings->path());
}

void TestPaneFiles::cleanup()
{
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
}

void TestPaneFiles::openLoadsTheSendPaneAndFlagsIt()
{
    const QString path = m_files->filePath(QStringLiteral("lines.txt"));
    QVERIFY(writeAll(path, "AB\nCD\r\n\r\nEF"));

    Form1 form;
    form.show();
    form.RichTextBox1->setText(QStringLiteral("old text"));
    form.Modified[1] = Form1::False;
    ModalAnswerer answerer;
    answerer.chooseFile(path);
    CursorWatch cursor(&form, path);
    form.mOpen->trigger();
    // The busy pointer while the file loads, and the pointer back after.
    QCOMPARE(cursor.changes.size(), 2);
    QCOMPARE(cursor.changes[0].shape, Qt::WaitCursor);
    QCOMPARE(cursor.changes[1].shape, Qt::ArrowCursor);

    QCOMPARE(answerer.shown().size(), 1);
    QCOMPARE(answerer.shown()[0].acceptMode, int(QFileDialog::AcceptOpen));
    QCOMPARE(form.CommonDialog1->Flags(), 6);
    QCOMPARE(form.RichTextBox1->Text(), QStringLiteral("AB\r\nCD\r\n\r\nEF"));
    QCOMPARE(form.Modified[1], Form1::True);
    QCOMPARE(form.Modified[2], Form1::False);
    QCOMPARE(form.RichTextBox2->Text(), QString());
}

void TestPaneFiles::openFailureIsReported_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("size");
    QTest::newRow("socket") << "socket" << qint64(0);
    QTest::newRow("pipe with no writer") << "pipe" << qint64(0);
    QTest::newRow("64 MiB and a byte") << "large" << qint64(64 * 1024 * 1024 + 1);
    QTest::newRow("80 MiB") << "large" << qint64(80 * 1024 * 1024);
}

void TestPaneFiles::openFailureIsReported()
{
    QFETCH(QString, kind);
    QFETCH(qint64, size);
    // None of these can be opened as a text file, whoever runs the test; none may block.
    const QString path = m_files->filePath(kind + QStringLiteral(".txt"));
    std::optional<SocketFile> socket;
    if (kind == u"socket") {
        socket.emplace(path);
        QVERIFY(socket->isValid());
    } else if (kind == u"pipe") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else {
        QFile large(path); // sparse: no disk space taken
        QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(size));
    }

    Form1 form;
    form.show();
    form.RichTextBox1->setText(QStringLiteral("kept"));
    form.Modified[1] = Form1::False;
    ModalAnswerer answerer;
    answerer.chooseFile(path);
    answerer.answerMessage(QMessageBox::Ok);
    form.mOpen->trigger();

    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(answerer.shown().size(), 2);
    QCOMPARE(
        failureReportMismatch(answerer.shown()[1], QStringLiteral("Can not open the file !"), path),
        QString());
    if (kind == u"large") {
        // The file's figure and the limit's, in one unit, must differ as numbers.
        static const QRegularExpression figures(
            QStringLiteral("holds (\\S+) (\\S+); .* up to (\\S+) (\\S+)\\.$"));
        const QString reason = answerer.shown()[1].informativeText;
        const QRegularExpressionMatch match = figures.match(reason);
        bool file = false, limit = false;
        QVERIFY2(match.hasMatch() && match.captured(2) == match.captured(4)
                     && QLocale().toDouble(match.captured(1), &file)
                         > QLocale().toDouble(match.captured(3), &limit)
                     && file && limit,
                 qPrintable(reason));
    }
    QCOMPARE(form.RichTextBox1->Text(), QStringLiteral("kept"));
    QCOMPARE(form.Modified[1], Form1::False);
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
}

void TestPaneFiles::cancelledDialogsStaySilent()
{
    Form1 form;
    form.show();
    form.RichTextBox1->setText(QStringLiteral("send"));
    form.RichTextBox2->setText(QStringLiteral("received"));
    const QString printout = m_files->filePath(QStringLiteral("cancelled.pdf"));
    form.CommonDialog1->Printer()->setOutputFormat(QPrinter::PdfFormat);
    form.CommonDialog1->Printer()->setOutputFileName(printout);

    ModalAnswerer answerer;
    for (QAction *item : {form.mOpen, form.S_Send, form.S_Received, form.P_Send, form.P_Received}) {
        answerer.cancelDialog();
        item->trigger();
        QVERIFY(answerer.waitAllAnswered());
    }
    QCOMPARE(answerer.shown().size(), 5);
    for (const ShownDialog &shown : answerer.shown())
        QVERIFY2(shown.kind != QStringLiteral("QMessageBox"), qPrintable(shown.text));
    QCOMPARE(form.RichTextBox1->Text(), QStringLiteral("send"));
    QCOMPARE(form.Modified[1], Form1::True);
    QCOMPARE(form.Modified[2], Form1::True);
    QVERIFY(!QFile::exists(printout));
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
}

void TestPaneFiles::saveWritesThePaneAndClearsItsFlag_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("send pane") << 1 << "AB\r\nCD\r\n\r\nEF" << QByteArray("AB\r\nCD\r\n\r\nEF");
    QTest::newRow("received pane") << 2 << "12.5,14:03:07\r\n<AK>\r\n\u00e9\r\n"
                                   << QByteArray("12.5,14:03:07\r\n<AK>\r\n\xc3\xa9\r\n");
    QTest::newRow("emptied send pane") << 1 << "" << QByteArray();
    QTest::newRow("emptied received pane") << 2 << "" << QByteArray();
}

void TestPaneFiles::saveWritesThePaneAndClearsItsFlag()
{
    QFETCH(int, index);
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    const QString proposed
        = index == 1 ? QStringLiteral("Send Data") : QStringLiteral("Received Data");
    QAction *Form1::*item = index == 1 ? &Form1::S_Send : &Form1::S_Received;

    Form1 form;
    form.show();
    pane(form, index)->setProperty("Text", QStringLiteral("something"));
    pane(form, index)->setProperty("Text", text);
    QCOMPARE(form.Modified[index], Form1::True);
    QCOMPARE(form.Modified[3 - index], Form1::False);

    // Saved twice, to two names: the second dialog proposes the pane's name again.
    ModalAnswerer answerer;
    const QString first = m_files->filePath(QStringLiteral("first.txt"));
    const QString second = m_files->filePath(QStringLiteral("second.txt"));
    answerer.chooseFile(first);
    (form.*item)->trigger();
    QCOMPARE(form.Modified[index], Form1::False);
    form.Modified[index] = Form1::True;
    answerer.chooseFile(second);
    (form.*item)->trigger();

    QCOMPARE(answerer.shown().size(), 2);
    for (const ShownDialog &shown : answerer.shown()) {
        QCOMPARE(shown.acceptMode, int(QFileDialog::AcceptSave));
        QCOMPARE(QFileInfo(shown.fileName).completeBaseName(), proposed);
    }
    QCOMPARE(form.CommonDialog1->Flags(), 6);
    QCOMPARE(readAll(first), bytes);
    QCOMPARE(readAll(second), bytes);
    QCOMPARE(form.Modified[index], Form1::False);
    QCOMPARE(form.Modified[3 - index], Form1::False);
    QCOMPARE(textOf(pane(form, index)), text);
}

void TestPaneFiles::failedSaveIsReportedAndKeepsTheFlag_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("diskFull");
    QTest::newRow("send pane, folder missing") << 1 << "no/such/folder/out.txt" << false;
    QTest::newRow("received pane, folder missing") << 2 << "no/such/folder/out.txt" << false;
    QTest::newRow("send pane, disk full") << 1 << "out.txt" << true;
    QTest::newRow("received pane, disk full") << 2 << "out.txt" << true;
}

void TestPaneFiles::failedSaveIsReportedAndKeepsTheFlag()
{
    QFETCH(int, index);
    QFETCH(QString, target);
    QFETCH(bool, diskFull);
    const QString path = m_files->filePath(target);

    Form1 form;
    form.show();
    const QString text = QString(200000, u'x');
    pane(form, index)->setProperty("Text", text);

    ModalAnswerer answerer;
    answerer.chooseFile(path);
    answerer.answerMessage(QMessageBox::Ok);
    QAction *item = index == 1 ? form.S_Send : form.S_Received;
    if (diskFull) {
        // A file size limit fills the "disk" part way through the write. The recovery files
        // have caught up with the pane first, so the save is the only write it fails.
        form.recoverySet()->syncNow();
        const FileSizeLimit limit(4096);
        QVERIFY(limit.isActive());
        item->trigger();
    } else {
        item->trigger();
    }

    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(answerer.shown().size(), 2);
    QCOMPARE(
        failureReportMismatch(answerer.shown()[1], QStringLiteral("Can not save the data !"), path),
        QString());
    QCOMPARE(form.Modified[index], Form1::True);
    QCOMPARE(textOf(pane(form, index)), text);
    QVERIFY(!QFile::exists(path));
}

void TestPaneFiles::newOnAnEmptyPaneAsksNothing_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("send pane") << 1;
    QTest::newRow("received pane") << 2;
}

void TestPaneFiles::newOnAnEmptyPaneAsksNothing()
{
    QFETCH(int, index);
    Form1 form;
    form.show();
    // Typed and deleted again: empty, but changed.
    pane(form, index)->setFocus();
    QTest::keyClicks(pane(form, index), QStringLiteral("x"));
    QTest::keyClick(pane(form, index), Qt::Key_Backspace);
    QCOMPARE(textOf(pane(form, index)), QString());
    QCOMPARE(form.Modified[index], Form1::True);
    form.SeqNo = 41;

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Yes);
    (index == 1 ? form.N_Send : form.N_Received)->trigger();
    QCoreApplication::processEvents();
    QCOMPARE(answerer.shown().size(), 0);
    QCOMPARE(form.Modified[index], Form1::True);
    QCOMPARE(form.SeqNo, 41);
}

void TestPaneFiles::newAnswered_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("answer"); // 0 dismissed
    QTest::addColumn<bool>("cleared");
    QTest::newRow("send pane, Yes") << 1 << int(QMessageBox::Yes) << true;
    QTest::newRow("send pane, No") << 1 << int(QMessageBox::No) << false;
    QTest::newRow("received pane, Yes") << 2 << int(QMessageBox::Yes) << true;
    QTest::newRow("received pane, No") << 2 << int(QMessageBox::No) << false;
    QTest::newRow("received pane, dismissed") << 2 << 0 << false;
}

void TestPaneFiles::newAnswered()
{
    QFETCH(int, index);
    QFETCH(int, answer);
    QFETCH(bool, cleared);

    Form1 form;
    form.show();
    form.RichTextBox1->setText(QStringLiteral("A\r\nB"));
    form.RichTextBox2->setText(QStringLiteral("1.0,1\r\n2.0,2\r\n"));
    form.SeqNo = 2;

    ModalAnswerer answerer;
    if (answer == 0)
        answerer.dismissMessage();
    else
        answerer.answerMessage(QMessageBox::StandardButton(answer));
    (index == 1 ? form.N_Send : form.N_Received)->trigger();

    QCOMPARE(answerer.shown().size(), 1);
    const ShownDialog &question = answerer.shown()[0];
    QCOMPARE(question.kind, QStringLiteral("QMessageBox"));
    QCOMPARE(question.title, QStringLiteral("Kavrel"));
    QCOMPARE(question.text, QStringLiteral("Will you clear this data?"));
    QCOMPARE(question.icon, QMessageBox::Warning);
    QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(question.defaultButton, QMessageBox::No);

    QCOMPARE(form.RichTextBox1->Text(),
             cleared && index == 1 ? QString() : QStringLiteral("A\r\nB"));
    QCOMPARE(form.RichTextBox2->Text(),
             cleared && index == 2 ? QString() : QStringLiteral("1.0,1\r\n2.0,2\r\n"));
    QCOMPARE(form.Modified[index], cleared ? Form1::False : Form1::True);
    QCOMPARE(form.Modified[3 - index], Form1::True);
    QCOMPARE(form.SeqNo, cleared && index == 2 ? 0 : 2);
}

void TestPaneFiles::clearingRemovesWhatWasThereWhenAsked()
{
    WindowOnPty rig(WindowOnPty::Shown);
    QVERIFY(rig.isValid());
    Form1 &form = rig.form();
    QVERIFY(WindowOnPty::choose(form.mSeq));
    QVERIFY(rig.start());
    QVERIFY(rig.device().write("1.0\r\n2.0\r\n"));
    QTRY_COMPARE(form.RichTextBox2->Text(), QStringLiteral("1.0,1\r\n2.0,2\r\n"));

    // While the question is open a line lands in the pane, another is completed (it may still
    // wait in the receive batch at Yes) and a third has begun.
    ModalAnswerer answerer;
    answerer.act([&](QWidget *box) {
        QVERIFY(rig.device().write("3.0\r\n"));
        QTRY_VERIFY(form.RichTextBox2->Text().endsWith(QStringLiteral("3.0,3\r\n")));
        QVERIFY(rig.device().writeAndWaitTaken("4.0\r\n5."));
        static_cast<QMessageBox *>(box)->button(QMessageBox::Yes)->click();
    });
    form.N_Received->trigger();
    QVERIFY(answerer.waitAllAnswered());

    // What was asked about is gone; the lines that came meanwhile stay with their numbers, are
    // still unsaved, and the next line is numbered 1.
    QCOMPARE(form.RichTextBox2->Text(), QStringLiteral("3.0,3\r\n4.0,4\r\n"));
    QCOMPARE(form.Modified[2], Form1::True);
    QVERIFY(rig.device().write("0\r\n"));
    QTRY_COMPARE(form.RichTextBox2->Text(), QStringLiteral("3.0,3\r\n4.0,4\r\n5.0,1\r\n"));
}

void TestPaneFiles::clearingAPanePastTheIntRangeLeavesNothing()
{
    // More positions than an int counts, in a few MB: 2,100 copies of one 1 MiB line.
    Form1 form;
    form.show();
    LinePane &pane = *form.RichTextBox2;
    pane.setText(QString(1 << 20, u'x'));
    pane.repeatForTesting(2099);
    const qint64 length = qint64(2100) * ((1 << 20) + 2) - 2;
    QCOMPARE(pane.textLength(), length);
    // Select all takes everything; only the int properties stop at their largest value.
    pane.selectAll();
    QCOMPARE(pane.caret(), length);
    QCOMPARE(pane.SelStart(), 0);
    QCOMPARE(pane.SelLength(), std::numeric_limits<int>::max());

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Yes);
    form.N_Received->trigger();
    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(pane.textLength(), 0);
    QCOMPARE(form.Modified[2], Form1::False);
}

void TestPaneFiles::sendPaneIsNotReplacedWhileItIsSent()
{
    WindowOnPty rig(WindowOnPty::Shown);
    QVERIFY(rig.isValid());
    Form1 &form = rig.form();
    QVERIFY(WindowOnPty::choose(form.Wait[5])); // 0.5 s
    QVERIFY(rig.start());
    const auto replaceable
        = [&form] { return form.mOpen->isEnabled() && form.N_Send->isEnabled(); };
    const QString text = QStringLiteral("L1\r\nL2\r\nL3");
    form.RichTextBox1->setText(text);
    QVERIFY(replaceable());

    // Sending, and suspended by a line error: neither Open nor New can be chosen, and their
    // handlers, however reached, ask nothing and change nothing.
    form.Command1->click();
    QVERIFY(form.Timer1->isActive() && !replaceable());
    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok);
    form.MSComm1->raiseEventForTesting(MSComm::comEventDeviceGone);
    QVERIFY(answerer.waitAllAnswered());
    QVERIFY(form.Timer1->isActive() && !replaceable());
    answerer.cancelDialog(); // stays queued unless a dialog shows
    form.mOpen_Click();
    form.N_Send_Click();
    QCOMPARE(answerer.shown().size(), 1);
    QCOMPARE(form.RichTextBox1->Text(), text);

    // The transmission ends on the wire, and both come back; Stop brings them back too.
    QVERIFY(rig.start());
    QTRY_VERIFY_WITH_TIMEOUT(!form.Timer1->isActive(), 15000);
    QVERIFY(replaceable());
    form.Command1->click();
    QVERIFY(!replaceable());
    form.Command2->click();
    QVERIFY(replaceable());
}

void TestPaneFiles::printsSelectionOrWholePane_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("selStart");
    QTest::addColumn<int>("selLength");
    QTest::addColumn<QStringList>("printed");
    const QString text = QStringLiteral("first line\r\nsecond line\r\nthird line");
    QTest::newRow("send pane, whole")
        << 1 << 0 << 0 << QStringList {"first line", "second line", "third line"};
    QTest::newRow("send pane, selection") << 1 << 12 << 11 << QStringList {"second line"};
    QTest::newRow("received pane, whole")
        << 2 << 5 << 0 << QStringList {"first line", "second line", "third line"};
    QTest::newRow("received pane, selection across lines")
        << 2 << 6 << 12 << QStringList {"line", "second"};
}

void TestPaneFiles::printsSelectionOrWholePane()
{
    QFETCH(int, index);
    QFETCH(int, selStart);
    QFETCH(int, selLength);
    QFETCH(QStringList, printed);

    Form1 form;
    form.show();
    QWidget *printedPane = pane(form, index);
    printedPane->setProperty("Text", QStringLiteral("first line\r\nsecond line\r\nthird line"));
    pane(form, 3 - index)->setProperty("Text", QStringLiteral("the other pane"));
    printedPane->setProperty("SelStart", selStart);
    printedPane->setProperty("SelLength", selLength);
    const QString printout = m_files->filePath(QStringLiteral("printout.pdf"));
    form.CommonDialog1->Printer()->setOutputFormat(QPrinter::PdfFormat);
    form.CommonDialog1->Printer()->setOutputFileName(printout);
    const auto flags = form.Modified;

    CursorWatch cursor(&form, printout);
    ModalAnswerer answerer;
    answerer.acceptDialog();
    (index == 1 ? form.P_Send : form.P_Received)->trigger();

    QCOMPARE(answerer.shown().size(), 1);
    QCOMPARE(answerer.shown()[0].kind, QStringLiteral("QPrintDialog"));
    QCOMPARE(form.CommonDialog1->Flags(), 264);
    QCOMPARE(pdfLines(printout), printed);
    QCOMPARE(form.Modified, flags);

    // Busy while the printout was being made, the default pointer once it was done.
    QCOMPARE(cursor.changes.size(), 2);
    QCOMPARE(cursor.changes[0].shape, Qt::WaitCursor);
    QVERIFY(!cursor.changes[0].printoutExisted);
    QCOMPARE(cursor.changes[1].shape, Qt::ArrowCursor);
    QVERIFY(cursor.changes[1].printoutExisted);
}

void TestPaneFiles::printFailureIsReported()
{
    Form1 form;
    form.show();
    form.RichTextBox2->setText(QStringLiteral("12.5\r\n"));
    const QString printout = m_files->filePath(QStringLiteral("no/such/folder/printout.pdf"));
    form.CommonDialog1->Printer()->setOutputFormat(QPrinter::PdfFormat);
    form.CommonDialog1->Printer()->setOutputFileName(printout);

    ModalAnswerer answerer;
    answerer.acceptDialog();
    answerer.answerMessage(QMessageBox::Ok);
    QTest::ignoreMessage(QtWarningMsg, "QPainter::begin(): Returned false");
    form.P_Received->trigger();

    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(answerer.shown().size(), 2);
    QCOMPARE(failureReportMismatch(answerer.shown()[1], QStringLiteral("Can not print the data !"),
                                   printout),
             QString());
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
}

QTEST_MAIN(TestPaneFiles)
#include "tst_panefiles.moc"
