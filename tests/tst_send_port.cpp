// Sending with the port in play: Start's header and Stop's footer, a transmission suspended by
// a close and resumed by Start, line errors, and lines cut by a close, read back byte by byte.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"
#include "send/SendText.h"
#include "serial/MSComm.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/WindowOnPty.h"

#include <QAction>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const QRegularExpression
    timeStamp(QStringLiteral("\\d\\d-\\d\\d-\\d{4}\\r\\n\\d\\d:\\d\\d:\\d\\d\\r\\n"));

// What happens while line 2 is in flight, after the line error raised first (if any).
enum class Then {
    DeviceReads, // the line leaves, then the port closes
    DeviceIdle, // the line is held past its time on the wire, then the port closes
    UserStops,
    DeviceStaysAway, // unplugged
    DeviceGone, // 1011
    UnpluggedAndBack, // under the link port 1 names
    EndCancelled, // File > End answered Cancel
};

} // namespace

class TestSendPort : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void headerOnStart_data();
    void headerOnStart();
    void footerOnStopNotOnEnd();
    void suspendedAndResumedByStart_data();
    void suspendedAndResumedByStart();
    void transmissionAcrossLineErrorsAndCloses_data();
    void transmissionAcrossLineErrorsAndCloses();

private:
    // A window whose lines end in CR LF and wait as the Wait item says.
    bool setUp(int waitItem);
    Form1 &form() const { return m_rig->form(); }
    PtyDevice &device() const { return m_rig->device(); }
    // The send pane holds the text, and Send is pressed.
    void send(const QString &text);
    bool sending() const { return form().Timer1->isActive(); }

    std::unique_ptr<WindowOnPty> m_rig;
};

void TestSendPort::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestSendPort::cleanup()
{
    const QString left = WindowOnPty::endOfTest(m_rig);
    QVERIFY2(left.isEmpty(), qPrintable(left));
}

bool TestSendPort::setUp(int waitItem)
{
    m_rig = std::make_unique<WindowOnPty>();
    return m_rig->isValid() && WindowOnPty::choose(form().Port[0])
        && WindowOnPty::choose(form().Term[0])
        && WindowOnPty::choose(form().Wait[std::size_t(waitItem)]);
}

void TestSendPort::send(const QString &text)
{
    form().RichTextBox1->setText(text);
    form().Command1->click();
}

void TestSendPort::headerOnStart_data()
{
    QTest::addColumn<bool>("header");
    QTest::addColumn<bool>("deviceThere");
    QTest::newRow("header, port opens") << true << true;
    QTest::newRow("header, port fails") << true << false;
    QTest::newRow("no header") << false << true;
}

void TestSendPort::headerOnStart()
{
    QFETCH(bool, header);
    QFETCH(bool, deviceThere);

    QVERIFY(setUp(0));
    if (!deviceThere)
        qputenv("KAVREL_COM1", QFile::encodeName(m_rig->settingsFolder() + "/no-such-device"));
    QVERIFY(WindowOnPty::choose(form().mHeader, header));

    // Earlier text, the caret at its start and a character of code 255 in it: the stamp still
    // goes to the very end.
    const QString earlier = QStringLiteral("12.5\r\n\u00ff13.0\r\n");
    form().RichTextBox2->setText(earlier);
    form().RichTextBox2->setSelStart(0);
    form().Modified[2] = Form1::False;

    ModalAnswerer answerer;
    if (!deviceThere)
        answerer.answerMessage(QMessageBox::Ok);
    form().Command1->click();
    QVERIFY(answerer.waitAllAnswered());
    QVERIFY(deviceThere ? m_rig->portOpenAsShown() : m_rig->portClosedAsShown());
    QCOMPARE(answerer.shown().size(), deviceThere ? 0 : 1);

    const QString text = form().RichTextBox2->Text();
    QVERIFY(text.startsWith(earlier));
    const QString added = text.mid(earlier.size());
    if (header)
        QVERIFY2(timeStamp.match(added).hasMatch() && added.size() == 22, qPrintable(added));
    else
        QCOMPARE(added, QString());
    // The stamp, like received text, marks the received pane as changed.
    QCOMPARE(form().Modified[2], header ? Form1::True : Form1::False);
}

void TestSendPort::footerOnStopNotOnEnd()
{
    QVERIFY(setUp(0));
    QVERIFY(WindowOnPty::choose(form().mFooter));
    QVERIFY(m_rig->start());
    QCOMPARE(form().RichTextBox2->Text(), QString());

    form().Command2->click();
    QVERIFY(m_rig->portClosedAsShown());
    const QString footer = form().RichTextBox2->Text();
    QVERIFY2(timeStamp.match(footer).hasMatch() && footer.size() == 22, qPrintable(footer));
    QCOMPARE(form().Modified[2], Form1::True);

    // End, with the port closed, offers to save the changed pane and writes no footer.
    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Cancel);
    QCOMPARE(runFromEventLoop(form(), [this] { form().Command2->click(); }), Outcome::Returned);
    QCOMPARE(answerer.shown().size(), 1);
    QCOMPARE(answerer.shown().first().text, QStringLiteral("Will you save this data?"));
    QCOMPARE(form().RichTextBox2->Text(), footer);
    QVERIFY(!form().hasEnded());
}

void TestSendPort::suspendedAndResumedByStart_data()
{
    QTest::addColumn<bool>("lineError");
    QTest::addColumn<QString>("message");
    QTest::newRow("line error") << true << "Communication Error 1011 !";
    QTest::newRow("File > End cancelled") << false << "Will you save this data?";
}

void TestSendPort::suspendedAndResumedByStart()
{
    QFETCH(bool, lineError);
    QFETCH(QString, message);

    QVERIFY(setUp(5)); // 0.5 s
    QVERIFY(m_rig->start());
    send(QStringLiteral("L1\r\nL2\r\nL3"));
    QCOMPARE(device().read(4, 5000), QByteArray("L1\r\n"));

    ModalAnswerer answerer;
    if (lineError) {
        answerer.answerMessage(QMessageBox::Ok);
        form().MSComm1->raiseEventForTesting(MSComm::comEventDeviceGone);
        QVERIFY(answerer.waitAllAnswered());
    } else {
        answerer.answerMessage(QMessageBox::Cancel);
        QCOMPARE(runFromEventLoop(form(), [this] { form().mEnd->trigger(); }), Outcome::Returned);
    }
    QCOMPARE(answerer.shown().size(), 1);
    QCOMPARE(answerer.shown().first().text, message);

    // Suspended: port closed, buttons Start and End, timer running, pane locked.
    QVERIFY(m_rig->portClosedAsShown());
    QVERIFY(sending());
    QVERIFY(form().RichTextBox1->Locked());

    // L2 falls due while the port is closed, and L3's time passes too: nothing goes, and L2
    // stays prepared.
    QTRY_VERIFY_WITH_TIMEOUT(pacingClock() > form().NextSendTime + 0.5 + 0.1, 5000);
    QCOMPARE(device().readUntilQuiet(), QByteArray());
    QCOMPARE(form().SendLine, QStringLiteral("L2\r\n"));
    QVERIFY(sending());

    // Start opens the port again; the overdue L2 goes at once, and L3 a whole wait after it,
    // not in a burst with it.
    const double started = pacingClock();
    QVERIFY(m_rig->start());
    QCOMPARE(device().read(4, 5000), QByteArray("L2\r\n"));
    QCOMPARE(device().read(4, 5000), QByteArray("L3\r\n"));
    const double thirdSeen = pacingClock();
    QVERIFY2(thirdSeen >= started + 0.5, qPrintable(QString::number(thirdSeen - started)));
    QTRY_VERIFY_WITH_TIMEOUT(!sending(), 15000);
    QCOMPARE(device().readUntilQuiet(), QByteArray());
    QVERIFY(!form().RichTextBox1->Locked());
    QVERIFY(form().MSComm1->PortOpen());
}

void TestSendPort::transmissionAcrossLineErrorsAndCloses_data()
{
    QTest::addColumn<int>("code"); // the line error raised first; 0: none
    QTest::addColumn<bool>("sendAgain"); // Send pressed again while line 2 leaves
    QTest::addColumn<Then>("then");
    QTest::addColumn<QStringList>("shown"); // the boxes, in order

    const auto error = [](int code) {
        return QStringList {code == 1008 ? QStringLiteral("Input Buffer Overflowed !")
                                         : QStringLiteral("Communication Error %1 !").arg(code)};
    };
    const QStringList save {QStringLiteral("Will you save this data?")};
    const QStringList midLine {QStringLiteral("The port was closed in the middle of a line.")};
    QTest::newRow("break") << 1001 << false << Then::DeviceReads << error(1001);
    QTest::newRow("framing") << 1004 << false << Then::DeviceReads << error(1004);
    QTest::newRow("overrun") << 1006 << false << Then::DeviceReads << error(1006);
    QTest::newRow("input overflow") << 1008 << false << Then::DeviceReads << error(1008);
    QTest::newRow("parity") << 1009 << false << Then::DeviceReads << error(1009);
    QTest::newRow("parity, line held past its time")
        << 1009 << false << Then::DeviceIdle << error(1009);
    QTest::newRow("parity, then Stop: named, and a line end before the next transmission")
        << 1009 << false << Then::UserStops << error(1009);
    QTest::newRow("device gone") << 1011 << false << Then::DeviceIdle << error(1011);
    QTest::newRow("unplugged, stays away") << 0 << false << Then::DeviceStaysAway << error(1011);
    QTest::newRow("Send again, device gone") << 1011 << true << Then::DeviceIdle << error(1011);
    QTest::newRow("File > End cancelled") << 0 << false << Then::EndCancelled << midLine + save;
    QTest::newRow("Send again, File > End cancelled")
        << 0 << true << Then::EndCancelled << midLine + save;
    QTest::newRow("parity waiting, device gone: both told")
        << 1009 << false << Then::DeviceGone << error(1009) + error(1011);
    QTest::newRow("parity waiting, unplugged, back under its link: both told")
        << 1009 << false << Then::UnpluggedAndBack << error(1009) + error(1011);
    QTest::newRow("parity waiting, File > End cancelled: told with the cut, before the question")
        << 1009 << false << Then::EndCancelled << error(1009) + save;
    QTest::newRow("Send again, parity waiting, device gone: both told")
        << 1009 << true << Then::DeviceGone << error(1009) + error(1011);
}

void TestSendPort::transmissionAcrossLineErrorsAndCloses()
{
    QFETCH(int, code);
    QFETCH(bool, sendAgain);
    QFETCH(Then, then);
    QFETCH(QStringList, shown);
    QVERIFY(setUp(0));
    PtyDevice back; // the device once it is back
    // Port 1 is a link to the device, as udev's names and socat's are.
    const QString link = m_rig->settingsFolder() + QStringLiteral("/ttyLink");
    QVERIFY(back.isValid() && QFile::link(device().slavePath(), link));
    qputenv("KAVREL_COM1", QFile::encodeName(link));
    QVERIFY(WindowOnPty::choose(form().BPS[7])); // 28800 baud: a held line is let go soon
    QVERIFY(m_rig->start());
    QByteArray line2;
    for (int k = 0; k < 40005; ++k)
        line2 += char('a' + k % 26);
    send(QStringLiteral("L1\r\n") + QString::fromLatin1(line2) + QStringLiteral("\r\nL3"));
    // Line 1 read alone: line 2 is then in flight, some 20 KB of it taken by the kernel and the
    // rest waiting in the port while the device reads nothing.
    const auto arrived = [this] {
        int count = 0;
        return ::ioctl(device().masterFd(), FIONREAD, &count) == 0 ? count : 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(arrived() >= 4, 10000);
    QByteArray got(4, '\0');
    QCOMPARE(::read(device().masterFd(), got.data(), 4), 4);
    QTRY_VERIFY_WITH_TIMEOUT(form().SendLine == QStringLiteral("L3\r\n")
                                 && form().MSComm1->OutBufferCount() < line2.size(),
                             10000);
    QVERIFY(form().MSComm1->OutBufferCount() > 0);

    ModalAnswerer answerer;
    for (const QString &box : shown)
        answerer.answerMessage(box.startsWith(QStringLiteral("Will you save"))
                                   ? QMessageBox::Cancel
                                   : QMessageBox::Ok);
    if (sendAgain) {
        form().Command1->click();
        QCOMPARE(form().SendLine, QStringLiteral("L1\r\n"));
    }
    if (code != 0)
        form().MSComm1->raiseEventForTesting(std::int16_t(code));
    if (then == Then::DeviceReads)
        got += device().read(int(line2.size()) + 2, 30000);
    if (then == Then::DeviceStaysAway || then == Then::UnpluggedAndBack)
        device().closeMaster();
    if (then == Then::DeviceGone)
        form().MSComm1->raiseEventForTesting(MSComm::comEventDeviceGone);
    if (then == Then::EndCancelled)
        QCOMPARE(runFromEventLoop(form(), [this] { form().mEnd->trigger(); }), Outcome::Returned);
    if (then == Then::UserStops) {
        QVERIFY(m_rig->portOpenAsShown());
        form().Command2->click();
    }
    QVERIFY(answerer.waitAllAnswered(30000));
    QStringList texts;
    for (const ShownDialog &box : answerer.shown())
        texts << box.text;
    QCOMPARE(texts, shown);
    QVERIFY(m_rig->portClosedAsShown());
    QCOMPARE(sending() && form().RichTextBox1->Locked(), then != Then::UserStops);

    // A close that drops part of line 2 names it in one box (the first when leaving, else the
    // last), and says whether the line goes again: not after Stop, nor once Send has started
    // over. A device gone without telling what it read (an unplugged pseudo-terminal) may hold
    // less, and may not have read line 1 either: the message claims nothing it cannot know.
    const bool cut = then != Then::DeviceReads;
    const bool again = cut && !sendAgain && then != Then::UserStops;
    const bool unsure = then == Then::DeviceStaysAway || then == Then::UnpluggedAndBack;
    const QString note = answerer.shown()
                             .at(then == Then::EndCancelled ? 0 : shown.size() - 1)
                             .informativeText;
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("^Line 2 of the send pane was cut: (at most )?(\\d+) of "
                                            "its 40005 characters (?:had left|reached the "
                                            "device)\\. (.*)$"),
                             QRegularExpression::MultilineOption)
              .match(note);
    int naming = 0;
    for (const ShownDialog &box : answerer.shown())
        naming += box.informativeText.contains(QStringLiteral("Line 2")) ? 1 : 0;
    QCOMPARE(naming, cut ? 1 : 0);
    QVERIFY2(match.hasMatch() == cut && match.hasCaptured(1) == unsure, qPrintable(note));
    const QString tail = (unsure ? QStringLiteral("Line 1 of the send pane may not have reached "
                                                  "the device whole: it went away without "
                                                  "telling how much it had read. After Start a "
                                                  "line end goes first, so the device can drop "
                                                  "what it holds of them, and then line 2 whole.")
                          : again ? QStringLiteral("After Start a line end goes first, so the "
                                                   "device can drop that part, and then the "
                                                   "whole line.")
                                  : QStringLiteral("A line end goes before the next line sent, so "
                                                   "the device can drop that part."))
        + (then == Then::EndCancelled ? QStringLiteral(" If Kavrel ends now, the device keeps "
                                                       "that part without a line end.")
                                      : QString());
    if (cut)
        QCOMPARE(match.captured(3), tail);

    if (then == Then::DeviceStaysAway) {
        // Start cannot open the port: the transmission ends with the cut line selected.
        answerer.answerMessage(QMessageBox::Ok);
        form().Command1->click();
        QVERIFY(answerer.waitAllAnswered());
        QVERIFY(answerer.shown().last().informativeText.contains(
            QStringLiteral("Line 2 of the send pane, the first that did not leave whole, is "
                           "selected.")));
        QVERIFY(!sending() && !form().RichTextBox1->Locked());
        QVERIFY(form().mOpen->isEnabled() && form().N_Send->isEnabled());
        QCOMPARE(form().RichTextBox1->SelStart(), 4);
        QCOMPARE(form().RichTextBox1->SelText().toLatin1(), line2);
        return;
    }
    // Before Start the device has line 1 and what left of line 2: all of it with its line end,
    // or exactly as much as the message says.
    if (then == Then::UnpluggedAndBack) {
        QVERIFY(QFile::remove(link) && QFile::link(back.slavePath(), link));
    } else {
        const qsizetype left = cut ? match.captured(2).toInt() : line2.size();
        QVERIFY2(left > 0, qPrintable(QString::number(left)));
        got += device().readUntilQuiet(4 + left + (cut ? 0 : 2) - got.size());
        QCOMPARE(got, "L1\r\n" + line2.left(left) + (cut ? "" : "\r\n"));
    }

    // After Start a line end ends the part the device holds; then line 2 goes whole, or the
    // transmission starts from line 1 (Send again, or Stop and Send), or line 3 follows.
    QVERIFY(m_rig->start());
    if (then == Then::UserStops)
        form().Command1->click();
    const bool fromLine1 = sendAgain || then == Then::UserStops;
    const QByteArray rest = (cut ? "\r\n" : "") + QByteArray(fromLine1 ? "L1\r\n" : "")
        + (fromLine1 || again ? line2 + "\r\n" : QByteArray()) + "L3\r\n";
    PtyDevice &now = then == Then::UnpluggedAndBack ? back : device();
    QByteArray after = now.read(int(rest.size()), 30000);
    after += now.read(-1, 300); // and nothing more
    QCOMPARE(after, rest);
    QTRY_VERIFY_WITH_TIMEOUT(!sending(), 10000);
    QVERIFY(!form().RichTextBox1->Locked());
    form().ClosePort(); // while the device it opened is still there
}

QTEST_MAIN(TestSendPort)
#include "tst_send_port.moc"
