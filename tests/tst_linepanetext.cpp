// The received pane's text going out and in: printing on the send pane's pages, copying, typing
// and pasting, saving while lines arrive, and a screen reader reading it.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/WindowOnPty.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QPrinter>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <limits>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

// The pages a pane prints the text on, at a printer's resolution, read back from the PDF.
template<typename Pane>
int printedPages(Pane &pane, const QString &text, QPrinter::PrinterMode mode)
{
    QTemporaryDir dir;
    QPrinter printer(mode);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(dir.filePath(QStringLiteral("printout.pdf")));
    pane.setText(text);
    const bool printed = pane.SelPrint(&printer);
    QProcess info;
    info.start(QStringLiteral("pdfinfo"), {printer.outputFileName()});
    if (!printed || !info.waitForFinished(30000))
        return -1;
    const QString pages = QString::fromUtf8(info.readAllStandardOutput())
                              .section(QStringLiteral("Pages:"), 1)
                              .section(u'\n', 0, 0);
    return pages.trimmed().toInt();
}

} // namespace

class TestLinePaneText : public QObject
{
    Q_OBJECT

private slots:
    void printsOnTheSendPanesPages_data();
    void printsOnTheSendPanesPages();
    void selectAllAndCopyIsTheText();
    void typingAndPasteLandAtTheCaret();
    void saveWhileLinesArriveLosesNone();
    void readerSeesTheText();
};

void TestLinePaneText::printsOnTheSendPanesPages_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QPrinter::PrinterMode>("mode");
    const QString tabbed = QStringLiteral("12.5\t13.0\t14.2\t9.87\tOK");
    const QString wrapped = QStringLiteral("a long line of words to be wrapped ").repeated(8);
    QTest::newRow("tabbed lines") << tabbed << QPrinter::HighResolution;
    QTest::newRow("tabbed lines, screen resolution") << tabbed << QPrinter::ScreenResolution;
    QTest::newRow("wrapped lines") << wrapped << QPrinter::HighResolution;
    QTest::newRow("tabbed, wrapped") << wrapped + tabbed.repeated(3) << QPrinter::HighResolution;
}

void TestLinePaneText::printsOnTheSendPanesPages()
{
    QFETCH(QString, line);
    QFETCH(QPrinter::PrinterMode, mode);
    const QString text = QStringList(120, line).join(QStringLiteral("\r\n"));
    RichTextBox send;
    LinePane received;
    const int pages = printedPages(send, text, mode);
    QVERIFY(pages > 1);
    QCOMPARE(printedPages(received, text, mode), pages);
}

void TestLinePaneText::selectAllAndCopyIsTheText()
{
    LinePane pane;
    pane.show();
    pane.setFocus();
    // More than one chunk of the store.
    QString text;
    for (int i = 0; i < 60000; ++i)
        text += QStringLiteral("12.345,OK,14:03:07,%1\r\n").arg(i);
    pane.setText(text + QStringLiteral("\u00e9\u65e5"));
    QTest::keyClick(&pane, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
    // What was copied stays what it was, whatever the pane does next.
    pane.setText(QStringLiteral("later"));
    QCOMPARE(QApplication::clipboard()->text(), text + QStringLiteral("\u00e9\u65e5"));
}

void TestLinePaneText::typingAndPasteLandAtTheCaret()
{
    LinePane pane;
    pane.show();
    pane.setFocus();
    pane.setText(QStringLiteral("head\r\ntail"));
    QSignalSpy changes(&pane, &LinePane::Change);
    pane.setSelStart(6);
    QTest::keyClicks(&pane, QStringLiteral("ab"));
    QCOMPARE(pane.Text(), QStringLiteral("head\r\nabtail"));
    QCOMPARE(changes.count(), 2);
    QApplication::clipboard()->setText(QStringLiteral("P\nQ"));
    QTest::keyClick(&pane, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(pane.Text(), QStringLiteral("head\r\nabP\r\nQtail"));
    QCOMPARE(pane.SelStart(), 12);
    QCOMPARE(changes.count(), 3);
    // Backspace at a line's start takes the whole line break; Delete takes the next character.
    QTest::keyClick(&pane, Qt::Key_Home);
    QTest::keyClick(&pane, Qt::Key_Backspace);
    QTest::keyClick(&pane, Qt::Key_Delete);
    QCOMPARE(pane.Text(), QStringLiteral("head\r\nabPtail"));
    QCOMPARE(changes.count(), 5);

    // Locked: the user changes nothing, the program still can.
    pane.setLocked(true);
    QTest::keyClicks(&pane, QStringLiteral("typed"));
    QTest::keyClick(&pane, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(pane.Text(), QStringLiteral("head\r\nabPtail"));
    pane.setSelText(QStringLiteral("!"));
    QCOMPARE(pane.Text(), QStringLiteral("head\r\nabP!tail"));
}

void TestLinePaneText::saveWhileLinesArriveLosesNone()
{
    WindowOnPty rig(WindowOnPty::Shown);
    QVERIFY(rig.isValid());
    QVERIFY(rig.start());
    QByteArray lines;
    for (int i = 1; i <= 20000; ++i)
        lines += QByteArray::number(i) + "\r";
    const int master = rig.device().masterFd();
    std::thread device([&] {
        for (qsizetype done = 0; done < lines.size();) {
            const ssize_t n
                = ::write(master, lines.constData() + done, size_t(lines.size() - done));
            if (n > 0)
                done += n;
            pollfd p {master, POLLOUT, 0};
            if (n < 0 && (errno != EAGAIN || ::poll(&p, 1, 1000) < 0))
                break;
        }
    });
    LinePane *pane = rig.form().RichTextBox2;
    QTRY_VERIFY_WITH_TIMEOUT(pane->lineCount() > 100, 20000);
    const QString path = rig.settingsFolder() + QStringLiteral("/received.txt");
    ModalAnswerer answerer;
    answerer.chooseFile(path);
    rig.form().S_Received->trigger();
    QVERIFY(answerer.waitAllAnswered());
    QTRY_COMPARE_WITH_TIMEOUT(pane->lineCount(), 20001, 30000);
    device.join();

    QCOMPARE(pane->Text(), QString::fromLatin1(lines).replace(u'\r', QStringLiteral("\r\n")));
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QString file = QString::fromUtf8(saved.readAll());
    QVERIFY(file.count(u'\n') > 100);
    QVERIFY(file.endsWith(QStringLiteral("\r\n")));
    QVERIFY(pane->Text().startsWith(file));
}

void TestLinePaneText::readerSeesTheText()
{
    LinePane pane;
    pane.setText(QStringLiteral("one\r\n\u65e5\u672c two\r\n\r\nlast"));
    QAccessibleInterface *reader = QAccessible::queryAccessibleInterface(&pane);
    QVERIFY(reader && reader->textInterface());
    QAccessibleTextInterface *text = reader->textInterface();
    QCOMPARE(reader->role(), QAccessible::EditableText);
    QCOMPARE(text->characterCount(), 16);
    QCOMPARE(text->text(0, 16), QStringLiteral("one\n\u65e5\u672c two\n\nlast"));
    int start = -1;
    int end = -1;
    QCOMPARE(text->textAtOffset(6, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("\u65e5\u672c two"));
    QCOMPARE(std::pair(start, end), std::pair(4, 10));
    QCOMPARE(text->textAtOffset(8, QAccessible::WordBoundary, &start, &end), QStringLiteral("two"));
    QCOMPARE(text->textAfterOffset(6, QAccessible::LineBoundary, &start, &end), QString());
    QCOMPARE(std::pair(start, end), std::pair(11, 11));
    QCOMPARE(text->textBeforeOffset(11, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("\u65e5\u672c two"));
    pane.setSelStart(13); // pane positions count CR LF as two, a reader's offsets as one
    QCOMPARE(text->cursorPosition(), 11);

    // A batch of lines at the end, read line by line as a reader follows it.
    pane.setSelStart(std::numeric_limits<int>::max());
    pane.setSelText(QStringLiteral("12.5\r\n13.0\r\n"));
    QCOMPARE(text->characterCount(), 26);
    QCOMPARE(text->textAtOffset(21, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("13.0"));
    QCOMPARE(text->cursorPosition(), 26);
    QCOMPARE(text->text(0, 26), pane.Text().replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

QTEST_MAIN(TestLinePaneText)
#include "tst_linepanetext.moc"
