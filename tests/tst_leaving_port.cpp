// Leaving with the port in play: File > End and closing the window close it first, once the line
// in flight has left, the End button leaves only while it is closed, and Cancel keeps the program
// running.
#include "app/Form1.h"
#include "panes/lines/LinePane.h"
#include "panes/RichTextBox.h"
#include "serial/MSComm.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/WindowOnPty.h"

#include <QAction>
#include <QApplication>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

bool isSaveQuestion(const ShownDialog &shown)
{
    return shown.kind == QStringLiteral("QMessageBox")
        && shown.text == QStringLiteral("Will you save this data?");
}

} // namespace

class TestLeavingPort : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void cancelFromEndLeavesATransmissionSuspended();
    void closingWhileOpenAndCancelKeepsRunningClosed();
    void endButtonWithNothingChangedEnds();
    void endButtonCancelKeepsRunning();
    void leavingWhileALineLeaves_data();
    void leavingWhileALineLeaves();

private:
    bool openPort();

    std::unique_ptr<WindowOnPty> m_rig;
};

void TestLeavingPort::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestLeavingPort::init()
{
    m_rig = std::make_unique<WindowOnPty>(WindowOnPty::Shown);
    QVERIFY(m_rig->isValid());
}

void TestLeavingPort::cleanup()
{
    const QString left = WindowOnPty::endOfTest(m_rig);
    QVERIFY2(left.isEmpty(), qPrintable(left));
}

// Start, as the user presses it, from the event loop; true when the port opened.
bool TestLeavingPort::openPort()
{
    return runFromEventLoop(m_rig->form(), [this] { m_rig->start(); }) == Outcome::Returned
        && m_rig->portOpenAsShown();
}

void TestLeavingPort::cancelFromEndLeavesATransmissionSuspended()
{
    Form1 &form = m_rig->form();
    QStringList lines;
    for (int i = 0; i < 2000; ++i)
        lines << QStringLiteral("line %1").arg(i);
    form.RichTextBox1->setText(lines.join(QStringLiteral("\r\n")));
    QVERIFY(openPort());

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Cancel);
    // Send, then File > End while the lines are going out.
    QCOMPARE(runFromEventLoop(form,
                              [&form] {
                                  form.Command1->click();
                                  QVERIFY(form.Timer1->isActive());
                                  form.mEnd->trigger();
                              }),
             Outcome::Returned);

    QCOMPARE(answerer.shown().size(), 1);
    QVERIFY(isSaveQuestion(answerer.shown()[0]));
    QVERIFY(form.isVisible());
    QVERIFY(m_rig->portClosedAsShown());
    // Suspended: the timer still runs and the pane stays locked until Start opens the port.
    QVERIFY(form.Timer1->isActive());
    QVERIFY(form.RichTextBox1->Locked());
    QCOMPARE(form.RichTextBox1->Text(), lines.join(QStringLiteral("\r\n")));
}

void TestLeavingPort::closingWhileOpenAndCancelKeepsRunningClosed()
{
    Form1 &form = m_rig->form();
    QVERIFY(openPort());
    QVERIFY(m_rig->device().write("12.5\r\n"));
    QTRY_COMPARE(form.RichTextBox2->Text(), QStringLiteral("12.5\r\n"));
    QCOMPARE(form.Modified[2], Form1::True);

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Cancel);
    QCOMPARE(runFromEventLoop(form, [&form] { form.close(); }), Outcome::Returned);

    QCOMPARE(answerer.shown().size(), 1);
    QVERIFY(isSaveQuestion(answerer.shown()[0]));
    QVERIFY(form.isVisible());
    QVERIFY(m_rig->portClosedAsShown());
    QCOMPARE(form.RichTextBox2->Text(), QStringLiteral("12.5\r\n"));

    // Start opens the port again.
    QVERIFY(openPort());
    answerer.answerMessage(QMessageBox::No);
    QCOMPARE(runFromEventLoop(form, [&form] { form.mEnd->trigger(); }), Outcome::Ended);
    QVERIFY(m_rig->portClosedAsShown());
}

void TestLeavingPort::endButtonWithNothingChangedEnds()
{
    Form1 &form = m_rig->form();
    QCOMPARE(form.Command2->text(), QStringLiteral("End"));

    ModalAnswerer answerer;
    QCOMPARE(runFromEventLoop(form, [&form] { form.Command2->click(); }), Outcome::Ended);
    QCOMPARE(answerer.shown().size(), 0);
    QVERIFY(form.isHidden());
}

void TestLeavingPort::endButtonCancelKeepsRunning()
{
    Form1 &form = m_rig->form();
    form.RichTextBox1->setText(QStringLiteral("AB"));

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Cancel);
    QCOMPARE(runFromEventLoop(form, [&form] { form.Command2->click(); }), Outcome::Returned);
    QCOMPARE(answerer.shown().size(), 1);
    QVERIFY(isSaveQuestion(answerer.shown()[0]));
    QVERIFY(form.isVisible());
    QCOMPARE(form.RichTextBox1->Text(), QStringLiteral("AB"));

    answerer.answerMessage(QMessageBox::No);
    QCOMPARE(runFromEventLoop(form, [&form] { form.Command2->click(); }), Outcome::Ended);
    QCOMPARE(answerer.shown().size(), 2);
}

void TestLeavingPort::leavingWhileALineLeaves_data()
{
    QTest::addColumn<bool>("window"); // closing the window; otherwise File > End
    QTest::addColumn<int>("answer"); // to "Will you save this data?"; 0: nothing to save
    QTest::addColumn<int>("sendAgain"); // Send pressed again while line 2 leaves
    QTest::addColumn<int>("error"); // a received-data error waiting for line 2; 0: none
    QTest::addColumn<QString>("device"); // "reads" on, "stopped" reading, or Stop is "pressed"
    QTest::addColumn<QStringList>("shown"); // the boxes, in order
    const QStringList save {QStringLiteral("Will you save this data?")};
    const QStringList cut {QStringLiteral("The port was closed in the middle of a line.")};
    const QStringList parity {QStringLiteral("Communication Error 1009 !")};
    const int yes = QMessageBox::Yes, no = QMessageBox::No, cancel = QMessageBox::Cancel;
    QTest::newRow("End, No: line 2 leaves whole first") << false << no << 0 << 0 << "reads" << save;
    QTest::newRow("End, nothing to save") << false << 0 << 0 << 0 << "reads" << QStringList();
    QTest::newRow("End, Yes, Send pressed twice") << false << yes << 2 << 0 << "reads" << save;
    QTest::newRow("window closed, No, parity waiting") << true << no << 0 << 1009 << "reads" << save;
    QTest::newRow("End, No, device stopped: the cut told first")
        << false << no << 1 << 0 << "stopped" << cut + save;
    QTest::newRow("End, nothing to save, device stopped: told before Kavrel ends")
        << false << 0 << 0 << 0 << "stopped" << cut;
    QTest::newRow("End, nothing to save, Stop while it waits")
        << false << 0 << 0 << 0 << "pressed" << cut;
    QTest::newRow("window closed, Cancel, parity waiting, device stopped")
        << true << cancel << 0 << 1009 << "stopped" << parity + save;
}

// L1, a line of 40,005 characters and L3 at 28,800 baud; the device reads L1 and then nothing,
// so line 2 is in flight when the user leaves. Kavrel lets it out whole before the port closes,
// within its time on the wire, or says which line it cut before it ends: the device never holds
// part of a line that the next one sent to it would run on from without being told.
void TestLeavingPort::leavingWhileALineLeaves()
{
    QFETCH(bool, window);
    QFETCH(int, answer);
    QFETCH(int, sendAgain);
    QFETCH(int, error);
    QFETCH(QString, device);
    QFETCH(QStringList, shown);
    Form1 &form = m_rig->form();
    QVERIFY(WindowOnPty::choose(form.Term[0]) && WindowOnPty::choose(form.Wait[0])
            && WindowOnPty::choose(form.BPS[7]));
    QByteArray line2;
    for (int k = 0; k < 40005; ++k)
        line2 += char('a' + k % 26);
    form.RichTextBox1->setText(QStringLiteral("L1\r\n") + QString::fromLatin1(line2)
                               + QStringLiteral("\r\nL3"));
    form.Modified = {Form1::False, answer != 0 ? Form1::True : Form1::False, Form1::False};
    QVERIFY(openPort());
    form.Command1->click();
    QByteArray got = m_rig->device().read(4, 10000);
    QCOMPARE(got, QByteArray("L1\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(form.SendLine == QStringLiteral("L3\r\n")
                                 && form.MSComm1->OutBufferCount() > 0,
                             10000);
    for (int k = 0; k < sendAgain; ++k)
        form.Command1->click();
    if (error != 0)
        form.MSComm1->raiseEventForTesting(std::int16_t(error));
    // The device reads as the bytes come, while the window waits.
    QSocketNotifier reader(m_rig->device().masterFd(), QSocketNotifier::Read);
    connect(&reader, &QSocketNotifier::activated, this, [&] { got += m_rig->device().readNow(); });
    reader.setEnabled(device == "reads");
    bool waited = false;
    if (device == "pressed") {
        QTimer::singleShot(200, &form, [&] {
            waited = !form.Command1->isEnabled() && !form.menuBar()->isEnabled();
            form.Command2->click();
        });
    }

    ModalAnswerer answerer;
    for (const QString &box : shown) {
        const bool question = box == QStringLiteral("Will you save this data?");
        answerer.answerMessage(question ? QMessageBox::StandardButton(answer) : QMessageBox::Ok);
        if (question && answer == QMessageBox::Yes)
            answerer.chooseFile(m_rig->settingsFolder() + QStringLiteral("/send.txt"));
    }
    QCOMPARE(runFromEventLoop(form,
                              [&] {
                                  if (window)
                                      form.close();
                                  else
                                      form.mEnd->trigger();
                              }),
             answer == QMessageBox::Cancel ? Outcome::Returned : Outcome::Ended);
    QVERIFY(answerer.waitAllAnswered());
    QStringList texts;
    for (const ShownDialog &box : answerer.shown())
        texts << box.text;
    texts.removeAll(QString()); // the file dialog
    QCOMPARE(texts, shown);
    QCOMPARE(waited, device == "pressed");
    QVERIFY(m_rig->portClosedAsShown());
    reader.setEnabled(false);
    got += m_rig->device().readUntilQuiet();
    if (device == "reads") {
        // Line 2 whole and ended, and nothing after it.
        QCOMPARE(got, "L1\r\n" + line2 + "\r\n");
        return;
    }
    // The device holds what the message says had left, and the message says what follows.
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("^Line 2 of the send pane was cut: (\\d+) of its 40005 "
                                            "characters had left\\. (.*)$"),
                             QRegularExpression::MultilineOption)
              .match(answerer.shown().first().informativeText);
    QVERIFY2(match.hasMatch(), qPrintable(answerer.shown().first().informativeText));
    QCOMPARE(got, "L1\r\n" + line2.left(match.captured(1).toInt()));
    QCOMPARE(match.captured(2),
             answer == 0 ? QStringLiteral("Kavrel ends: the device keeps that part without a line "
                                          "end.")
                         : QStringLiteral("%1 If Kavrel ends now, the device keeps that part "
                                          "without a line end.")
                               .arg(sendAgain > 0 ? QStringLiteral("A line end goes before the "
                                                                   "next line sent, so the device "
                                                                   "can drop that part.")
                                                  : QStringLiteral("After Start a line end goes "
                                                                   "first, so the device can drop "
                                                                   "that part, and then the whole "
                                                                   "line.")));
}

QTEST_MAIN(TestLeavingPort)
#include "tst_leaving_port.moc"
