// The panes' recovery files as the user meets them: a window ended from outside leaves what it
// showed for the next start to offer; the exit path and a destroyed window leave nothing; a
// state folder that cannot be written is told once while the lines still arrive.
#include "app/Form1.h"
#include "panes/lines/LinePane.h"
#include "recovery/RecoveryOrphan.h"
#include "recovery/RecoveryRecords.h"
#include "recovery/RecoverySet.h"
#include "panes/RichTextBox.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/TemporaryStateHome.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QPushButton>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

const QString restoreQuestion = QStringLiteral("Kavrel ended unexpectedly. Restore the data it held?");

// The received pane's text as the set's file on disk holds it; empty while there is none.
QString receivedOnDisk()
{
    const QDir folder(RecoverySet::folder());
    for (const QString &name : folder.entryList({QStringLiteral("kavrel-*.received")})) {
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        if (const auto pane = replayRecovery(file.readAll(), RecoveryPane::Received))
            return pane->store.text();
    }
    return QString();
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
    void endingWindowLeavesNothing_data();
    void endingWindowLeavesNothing();
    void unwritableFolderToldOnceWhileLinesArrive();

private:
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

void TestRecoveryWindow::endedFromOutsideIsOffered()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, restore);
    TemporaryStateHome state;
    PtyDevice device;
    QVERIFY(state.isValid() && device.isValid());
    // The real program on the pty, with a stand-in for the person at its window loaded into it.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(KAVREL_TEST_PLUGINS));
    environment.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"), QStringLiteral("kavrelwindowprobe"));
    environment.insert(QStringLiteral("KAVREL_COM1"), device.slavePath());
    environment.insert(QStringLiteral("XDG_STATE_HOME"), state.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_settings.path());
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(m_program);
    QTRY_VERIFY_WITH_TIMEOUT(program.canReadLine(), 30000);
    QCOMPARE(program.readLine().trimmed(), QByteArray("open"));
    const auto stopProgram = qScopeGuard([&program] {
        program.kill();
        program.waitForFinished();
    });

    QByteArray sent;
    for (int i = 1; i <= 2000; ++i)
        sent += "reading " + QByteArray::number(i) + ",12.5 ~|{}\r\n";
    QVERIFY(device.write(sent));
    QByteArray shown;
    QTRY_VERIFY_WITH_TIMEOUT((shown += program.readAll()).contains("shown 2001\n"), 60000);
    // Killed, only what reached the disk can come back: wait until it has. A signal that
    // can be caught must keep whatever the pane showed, without waiting.
    if (signalNumber == SIGKILL)
        QTRY_COMPARE_WITH_TIMEOUT(receivedOnDisk(), QString::fromLatin1(sent), 30000);
    ::kill(pid_t(program.processId()), signalNumber);
    QVERIFY(program.waitForFinished(30000));
    if (signalNumber != SIGKILL) {
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 128 + signalNumber);
    }

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
    QCOMPARE(form.RichTextBox1->Text(), restore ? QStringLiteral("READ?\r\nSTOP\r\nMEAS?") : QString());
    QCOMPARE(form.Modified[2], restore ? Form1::True : Form1::False);
    QCOMPARE(form.Modified[1], restore ? Form1::True : Form1::False);
    // Either answer settles it: the next start finds nothing to offer.
    QVERIFY(!RecoveryOrphan::claimNewest(RecoverySet::folder()));
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

void TestRecoveryWindow::unwritableFolderToldOnceWhileLinesArrive()
{
    TemporaryStateHome state;
    PtyDevice device;
    QVERIFY(state.isValid() && device.isValid());
    // Below a regular file no folder can be made, not even by root.
    const QString blocker = state.path() + QStringLiteral("/file");
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_STATE_HOME", QFile::encodeName(blocker));
    qputenv("KAVREL_COM1", QFile::encodeName(device.slavePath()));
    Form1 form;
    ModalAnswerer answers;
    answers.answerMessage(QMessageBox::Ok);
    form.show();
    QVERIFY(answers.waitAllAnswered(30000));
    const ShownDialog &told = answers.shown().constFirst();
    QCOMPARE(told.icon, QMessageBox::Warning);
    QVERIFY2(told.informativeText.contains(blocker + QStringLiteral("/kavrel")),
             qPrintable(told.informativeText));

    form.Command1->click();
    QVERIFY(form.MSComm1->PortOpen());
    QVERIFY(device.writeAndWaitTaken("12.5\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(form.RichTextBox2->Text(), QStringLiteral("12.5\r\n"), 30000);
    // Retries come every few seconds and keep failing; none of them tells again.
    QTest::qWait(4000);
    QVERIFY(device.writeAndWaitTaken("12.6\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(form.RichTextBox2->Text(), QStringLiteral("12.5\r\n12.6\r\n"), 30000);
    QCOMPARE(answers.shown().size(), 1);
    form.ClosePort();
    qunsetenv("KAVREL_COM1");
}

QTEST_MAIN(TestRecoveryWindow)

#include "tst_recovery_window.moc"
