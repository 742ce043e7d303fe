// The panes' recovery files as the user meets them: a window ended from outside leaves what it
// showed for the next start to offer, and what Yes restored survives a kill right after it; the
// exit path and a destroyed window leave nothing; a state folder that cannot be written or
// trusted is told once while the lines still arrive; nothing planted in it is followed or
// freezes the window.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"
#include "recovery/RecoveryOrphan.h"
#include "recovery/RecoveryRecords.h"
#include "recovery/RecoveryReplay.h"
#include "recovery/RecoverySet.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/RecoveryPanes.h"
#include "tests/support/TemporaryStateHome.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString restoreQuestion
    = QStringLiteral("Kavrel ended unexpectedly. Restore the data it held?");

// The received pane's text as a set's file on disk holds it; empty while there is none.
QString receivedOnDisk()
{
    const QDir folder(RecoverySet::folder());
    for (const QString &name : folder.entryList({QStringLiteral("kavrel-*.received")})) {
        const auto pane
            = replayRecovery(fileContent(folder.filePath(name)), RecoveryPane::Received);
        if (pane && !pane->store.isEmpty())
            return pane->store.text();
    }
    return QString();
}

// A set as a window killed with these panes leaves it.
QString plantSet(const QString &send)
{
    RecoverySet set;
    set.start();
    set.sendEdited(0, 0, send);
    set.syncNow();
    return RecoverySet::folder() + u'/' + set.id();
}

QStringList setFiles()
{
    return QDir(RecoverySet::folder()).entryList({QStringLiteral("kavrel-*")}, QDir::Files);
}

} // namespace

class TestRecoveryWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void endedFromOutsideIsOffered_data();
    void endedFromOutsideIsOffered();
    void killedAfterYes_data();
    void killedAfterYes();
    void endingWindowLeavesNothing_data();
    void endingWindowLeavesNothing();
    void unwritableFolderToldOnceWhileLinesArrive_data();
    void unwritableFolderToldOnceWhileLinesArrive();
    void plantedFilesNotFollowed();

private:
    // The built program on the pty, its state where XDG_STATE_HOME points, with a stand-in for
    // the person at it (WindowProbePlugin): "answer" answers the recovery question with Yes.
    void startProgram(QProcess &program, const QString &device, const QByteArray &probe = {});
    // The program started, Start pressed, the lines received and shown, then the signal; for
    // SIGKILL only once the lines are on disk.
    void receiveAndEnd(const QByteArray &lines, int signalNumber);

    QTemporaryDir m_settings;
    QString m_program;
};

void TestRecoveryWindow::initTestCase()
{
    QVERIFY(m_settings.isValid());
    overrideSettingsFolder(m_settings.path());
    QApplication::setQuitOnLastWindowClosed(false);
    // The built program, copied so that the settings file it keeps beside itself is the
    // test's own rather than whatever the build folder holds.
    m_program = m_settings.filePath(QStringLiteral("kavrel"));
    QVERIFY(QFile::copy(QStringLiteral(KAVREL_PATH), m_program));
}

void TestRecoveryWindow::endedFromOutsideIsOffered_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("restore");
    QTest::newRow("killed, restored") << int(SIGKILL) << true;
    QTest::newRow("killed, discarded") << int(SIGKILL) << false;
    QTest::newRow("terminated, restored") << int(SIGTERM) << true;
    QTest::newRow("terminated, discarded") << int(SIGTERM) << false;
    QTest::newRow("hung up, restored") << int(SIGHUP) << true;
}

void TestRecoveryWindow::startProgram(QProcess &program, const QString &device,
                                      const QByteArray &probe)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(KAVREL_TEST_PLUGINS));
    environment.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"),
                       QStringLiteral("kavrelwindowprobe"));
    environment.insert(QStringLiteral("KAVREL_PROBE"), QString::fromLatin1(probe));
    environment.insert(QStringLiteral("KAVREL_COM1"), device);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_settings.path());
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(m_program);
}

void TestRecoveryWindow::receiveAndEnd(const QByteArray &lines, int signalNumber)
{
    PtyDevice device;
    QVERIFY(device.isValid());
    QProcess program;
    startProgram(program, device.slavePath());
    const auto stopProgram = qScopeGuard([&program] {
        program.kill();
        program.waitForFinished();
    });
    QTRY_VERIFY_WITH_TIMEOUT(program.canReadLine(), 30000);
    QCOMPARE(program.readLine().trimmed(), QByteArray("open"));
    QVERIFY(device.write(lines));
    QByteArray shown;
    const QByteArray allShown = "shown " + QByteArray::number(lines.count('\n') + 1) + '\n';
    QTRY_VERIFY_WITH_TIMEOUT((shown += program.readAll()).contains(allShown), 60000);
    // Killed, only what reached the disk can come back: wait until it has. A signal that
    // can be caught must keep whatever the pane showed, without waiting.
    if (signalNumber == SIGKILL)
        QTRY_COMPARE_WITH_TIMEOUT(receivedOnDisk(), QString::fromLatin1(lines), 30000);
    ::kill(pid_t(program.processId()), signalNumber);
    QVERIFY(program.waitForFinished(30000));
    if (signalNumber != SIGKILL) {
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 128 + signalNumber);
    }
}

void TestRecoveryWindow::endedFromOutsideIsOffered()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, restore);
    TemporaryStateHome state;
    QVERIFY(state.isValid());
    QByteArray sent;
    for (int i = 1; i <= 2000; ++i)
        sent += "reading " + QByteArray::number(i) + ",12.5 ~|{}\r\n";
    receiveAndEnd(sent, signalNumber);
    if (QTest::currentTestFailed())
        return;

    Form1 form;
    ModalAnswerer answers;
    answers.answerMessage(restore ? QMessageBox::Yes : QMessageBox::No);
    form.show();
    QVERIFY(answers.waitAllAnswered(60000));
    const ShownDialog &asked = answers.shown().constFirst();
    QCOMPARE(asked.text, restoreQuestion);
    QCOMPARE(asked.icon, QMessageBox::Question);
    QCOMPARE(asked.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(asked.defaultButton, QMessageBox::Yes);
    QVERIFY2(asked.informativeText.contains(u"2000 lines of received data and 3 lines of send"),
             qPrintable(asked.informativeText));
    QCOMPARE(form.RichTextBox2->Text(), restore ? QString::fromLatin1(sent) : QString());
    QCOMPARE(form.RichTextBox1->Text(),
             restore ? QStringLiteral("READ?\r\nSTOP\r\nMEAS?") : QString());
    QCOMPARE(form.Modified[2], restore ? Form1::True : Form1::False);
    QCOMPARE(form.Modified[1], restore ? Form1::True : Form1::False);
    // Either answer settles it (Yes once the restored text is safe in the window's own set):
    // the next start finds nothing to offer.
    QTRY_COMPARE_WITH_TIMEOUT(setFiles().size(), 3, 30000);
    QVERIFY(!RecoveryOrphan::claimNewest(RecoverySet::folder()));
}

void TestRecoveryWindow::killedAfterYes_data()
{
    QTest::addColumn<int>("afterMs");
    QTest::newRow("at once") << 0;
    QTest::newRow("50 ms later") << 50;
    QTest::newRow("400 ms later") << 400;
}

// Whatever moment a kill comes after Yes, one set at least still offers what was restored.
void TestRecoveryWindow::killedAfterYes()
{
    QFETCH(int, afterMs);
    TemporaryStateHome state;
    QVERIFY(state.isValid());
    QByteArray sent; // about a MiB
    for (int i = 1; i <= 40000; ++i)
        sent += "reading " + QByteArray::number(i) + ",12.5 ~|{}\r\n";
    receiveAndEnd(sent, SIGKILL);
    if (QTest::currentTestFailed())
        return;
    {
        PtyDevice device;
        QProcess program;
        startProgram(program, device.slavePath(), "answer");
        const auto stopProgram = qScopeGuard([&program] { program.waitForFinished(); });
        QTRY_VERIFY_WITH_TIMEOUT(program.canReadLine(), 60000);
        QCOMPARE(program.readLine().trimmed(), QByteArray("answered"));
        if (afterMs > 0)
            QTest::qWait(afterMs); // the moment of the kill is what this test varies
        ::kill(pid_t(program.processId()), SIGKILL);
    }

    Form1 form;
    ModalAnswerer answers;
    answers.answerMessage(QMessageBox::Yes);
    form.show();
    QVERIFY(answers.waitAllAnswered(60000));
    QVERIFY2(answers.shown().constFirst().informativeText.contains(u"40000 lines of received"),
             qPrintable(answers.shown().constFirst().informativeText));
    QCOMPARE(form.RichTextBox2->Text(), QString::fromLatin1(sent));
}

void TestRecoveryWindow::endingWindowLeavesNothing_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("exit path, not saved") << QStringLiteral("not saved");
    QTest::newRow("saved, then closed") << QStringLiteral("saved");
    QTest::newRow("destroyed") << QStringLiteral("destroyed");
}

void TestRecoveryWindow::endingWindowLeavesNothing()
{
    QFETCH(QString, how);
    TemporaryStateHome state;
    QVERIFY(state.isValid());
    auto form = std::make_unique<Form1>();
    form->RichTextBox2->setText(QStringLiteral("12.5\r\n12.6\r\n"));
    form->RichTextBox1->setPlainText(QStringLiteral("READ?\nSTOP"));
    QTRY_VERIFY_WITH_TIMEOUT(!receivedOnDisk().isEmpty(), 30000);
    ModalAnswerer answers;
    if (how == u"not saved") {
        answers.answerMessage(QMessageBox::No);
        QCOMPARE(runFromEventLoop(*form, [&form] { form->mEnd->trigger(); }), Outcome::Ended);
    } else if (how == u"saved") {
        answers.chooseFile(m_settings.filePath(QStringLiteral("send.txt")));
        answers.chooseFile(m_settings.filePath(QStringLiteral("received.txt")));
        form->S_Send_Click();
        form->S_Received_Click();
        QVERIFY(answers.waitAllAnswered());
        QCOMPARE(runFromEventLoop(*form, [&form] { form->close(); }), Outcome::Ended);
    }
    form.reset();
    QCOMPARE(setFiles(), QStringList());
    QVERIFY(!RecoveryOrphan::claimNewest(RecoverySet::folder()));
}

void TestRecoveryWindow::unwritableFolderToldOnceWhileLinesArrive_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("told");
    QTest::newRow("below a regular file") << "below a file"
                                          << "";
    QTest::newRow("open to others") << "0777"
                                    << "chmod 700";
    QTest::newRow("a link") << "link"
                            << "symbolic link";
    QTest::newRow("another user's") << "owner"
                                    << "another user";
}

void TestRecoveryWindow::unwritableFolderToldOnceWhileLinesArrive()
{
    QFETCH(QString, folder);
    QFETCH(QString, told);
    TemporaryStateHome state;
    PtyDevice device;
    QVERIFY(state.isValid() && device.isValid());
    if (folder == u"below a file") {
        // Below a regular file no folder can be made, not even by root.
        QFile file(state.path() + QStringLiteral("/file"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        state.redirect(QStringLiteral("file"));
    } else {
        // A set planted where others could write is never offered.
        plantSet(QStringLiteral("rm -rf ~"));
        const QString real = state.path() + QStringLiteral("/real");
        const QByteArray path = QFile::encodeName(RecoverySet::folder());
        if (folder == u"owner" && ::geteuid() != 0)
            QSKIP("only root can give the folder to another user");
        if (folder == u"link")
            QVERIFY(QDir().rename(RecoverySet::folder(), real)
                    && QFile::link(real, RecoverySet::folder()));
        else if (folder == u"owner")
            QVERIFY(::chown(path.constData(), 65534, 65534) == 0);
        else
            QVERIFY(::chmod(path.constData(), 0777) == 0);
    }
    qputenv("KAVREL_COM1", QFile::encodeName(device.slavePath()));
    Form1 form;
    ModalAnswerer answers;
    answers.answerMessage(QMessageBox::Ok);
    form.show();
    QVERIFY(answers.waitAllAnswered(30000));
    const ShownDialog &shown = answers.shown().constFirst();
    QCOMPARE(shown.icon, QMessageBox::Warning);
    QVERIFY2(shown.informativeText.contains(RecoverySet::folder())
                 && shown.informativeText.contains(told),
             qPrintable(shown.informativeText));

    form.Command1->click();
    QVERIFY(form.MSComm1->PortOpen());
    QVERIFY(device.writeAndWaitTaken("12.5\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(form.RichTextBox2->Text(), QStringLiteral("12.5\r\n"), 30000);
    // Retries come every few seconds and keep failing; none of them tells again.
    QTest::qWait(4000);
    QVERIFY(device.writeAndWaitTaken("12.6\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(form.RichTextBox2->Text(), QStringLiteral("12.5\r\n12.6\r\n"), 30000);
    QCOMPARE(answers.shown().size(), 1);
    QCOMPARE(form.RichTextBox1->Text(), QString());
    form.ClosePort();
    qunsetenv("KAVREL_COM1");
    // Mended, the folder is used: the set is made and keeps the panes again.
    if (folder == u"0777") {
        QVERIFY(::chmod(QFile::encodeName(RecoverySet::folder()).constData(), 0700) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(receivedOnDisk(), QStringLiteral("12.5\r\n12.6\r\n"), 30000);
    }
}

// Links planted as a living set's fresh files are replaced, not written through, when Clear
// restarts the panes; FIFOs named like a left-behind set's files neither freeze the window nor
// stop the search for sets.
void TestRecoveryWindow::plantedFilesNotFollowed()
{
    TemporaryStateHome state;
    QVERIFY(state.isValid());
    const QString folder = RecoverySet::folder();
    QVERIFY(QDir().mkpath(folder));
    const QString fifoSet = folder + QStringLiteral("/kavrel-7-0123456789abcdef");
    const QString fifoLock = folder + QStringLiteral("/kavrel-8-0123456789abcdef.lock");
    for (const QString &fifo :
         {fifoSet + QStringLiteral(".received"), fifoSet + QStringLiteral(".send"), fifoLock})
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    Form1 form;
    form.show();
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(fifoSet + QStringLiteral(".received")), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(form.centralWidget()->isEnabled(), 5000);
    QTest::keyClicks(form.RichTextBox1, QStringLiteral("READ?"));
    QCOMPARE(form.RichTextBox1->Text(), QStringLiteral("READ?"));
    // A lock no window made hides nothing: replaced, its set (holding nothing) went.
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(fifoLock), 30000);

    form.RichTextBox2->setText(QStringLiteral("12.5\r\n"));
    const QString outside = state.path() + QStringLiteral("/outside");
    QFile precious(outside);
    QVERIFY(precious.open(QIODevice::WriteOnly) && precious.write("precious") == 8);
    precious.close();
    const QString stem = folder + u'/' + form.recoverySet()->id();
    for (const char *suffix : {".received.new", ".send.new"})
        QVERIFY(QFile::link(outside, stem + QLatin1StringView(suffix)));
    ModalAnswerer answers;
    answers.answerMessage(QMessageBox::Yes);
    answers.answerMessage(QMessageBox::Yes);
    form.N_Received_Click();
    form.N_Send_Click();
    QVERIFY(answers.waitAllAnswered());
    form.recoverySet()->syncNow();
    QCOMPARE(fileContent(outside), QByteArray("precious"));
    QCOMPARE(replayedFile(stem + QStringLiteral(".received"), RecoveryPane::Received), QString());
    QCOMPARE(replayedFile(stem + QStringLiteral(".send"), RecoveryPane::Send), QString());
}

QTEST_MAIN(TestRecoveryWindow)

#include "tst_recovery_window.moc"
