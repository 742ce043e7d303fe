// Sending across line errors and closes: lines cut by a close, named in the message that reports
// it, and read back byte by byte.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
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

// What happens while line 2 is in flight, after the line error raised first (if any).
enum class Then {
    DeviceReads, // the line leaves, then the port closes
    OthersThenReads, // 1008 and the first error again come meanwhile, then as DeviceReads
    DeviceIdle, // the line is held past its time on the wire, then the port closes
    UserStops,
    DeviceStaysAway, // unplugged
    DeviceGone, // 1011
    UnpluggedAndBack, // under the link port 1 names
    EndCancelled, // File > End answered Cancel
};

} // namespace

class TestSendCut : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanup();
    void transmissionAcrossLineErrorsAndCloses_data();
    void transmissionAcrossLineErrorsAndCloses();
    void aDeviceGoneAfterTheTransmission_data();
    void aDeviceGoneAfterTheTransmission();

private:
    // A window whose lines end in CR LF and go without waiting.
    bool setUp();
    Form1 &form() const { return m_rig->form(); }
    PtyDevice &device() const { return m_rig->device(); }
    // The send pane holds the text, and Send is pressed.
    void send(const QString &text);
    bool sending() const { return form().Timer1->isActive(); }

    std::unique_ptr<WindowOnPty> m_rig;
};

void TestSendCut::cleanup()
{
    const QString left = WindowOnPty::endOfTest(m_rig);
    QVERIFY2(left.isEmpty(), qPrintable(left));
}

bool TestSendCut::setUp()
{
    m_rig = std::make_unique<WindowOnPty>();
    return m_rig->isValid() && WindowOnPty::choose(form().Port[0])
        && WindowOnPty::choose(form().Term[0]) && WindowOnPty::choose(form().Wait[0]);
}

void TestSendCut::send(const QString &text)
{
    form().RichTextBox1->setText(text);
    form().Command1->click();
}

void TestSendCut::transmissionAcrossLineErrorsAndCloses_data()
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
    QTest::newRow("parity waiting, overflow and parity again: each code told once")
        << 1009 << false << Then::OthersThenReads << error(1009) + error(1008);
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

void TestSendCut::transmissionAcrossLineErrorsAndCloses()
{
    QFETCH(int, code);
    QFETCH(bool, sendAgain);
    QFETCH(Then, then);
    QFETCH(QStringList, shown);
    QVERIFY(setUp());
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
    if (then == Then::OthersThenReads) {
        form().MSComm1->raiseEventForTesting(MSComm::comEventRxOver);
        form().MSComm1->raiseEventForTesting(std::int16_t(code));
    }
    const bool reads = then == Then::DeviceReads || then == Then::OthersThenReads;
    if (reads)
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
    const bool cut = !reads;
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

void TestSendCut::aDeviceGoneAfterTheTransmission_data()
{
    QTest::addColumn<int>("sends"); // of the send pane, each read whole by the device
    QTest::addColumn<QString>("typed"); // over "A", "B", "C" after the first; empty: nothing
    QTest::addColumn<QString>("named"); // the lines the device gone may not have read
    QTest::addColumn<QByteArray>("after"); // read after Start and Send on the device back
    QTest::newRow("sent once") << 1 << "" << "Lines 1 to 3 of the send pane"
                               << QByteArray("\r\nA\r\nB\r\nC\r\n");
    QTest::newRow("sent twice: each line named once")
        << 2 << "" << "Lines 1 to 3 of the send pane" << QByteArray("\r\nA\r\nB\r\nC\r\n");
    QTest::newRow("the pane typed over: its lines are not those sent")
        << 1 << "new" << "Lines sent before the send pane was changed"
        << QByteArray("\r\nnew\r\n");
    QTest::newRow("the pane typed over and sent again: its line named, the others told")
        << 2 << "new" << "Line 1 of the send pane, and lines sent before it was changed,"
        << QByteArray("\r\nnew\r\n");
}

void TestSendCut::aDeviceGoneAfterTheTransmission()
{
    QFETCH(int, sends);
    QFETCH(QString, typed);
    QFETCH(QString, named);
    QFETCH(QByteArray, after);
    QVERIFY(setUp() && m_rig->start());
    form().RichTextBox1->setText(QStringLiteral("A\r\nB\r\nC"));
    for (int round = 0; round < sends; ++round) {
        const QByteArray lines = form().RichTextBox1->Text().toUtf8() + "\r\n";
        form().Command1->click();
        QCOMPARE(device().read(int(lines.size()), 10000), lines);
        QTRY_VERIFY_WITH_TIMEOUT(!sending(), 10000);
        if (round == 0 && !typed.isEmpty()) {
            form().RichTextBox1->selectAll();
            QTest::keyClicks(form().RichTextBox1, typed);
        }
    }
    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok);
    device().closeMaster();
    QVERIFY(answerer.waitAllAnswered(30000));
    QCOMPARE(answerer.shown().first().informativeText.section(u'\n', 1),
             named
                 + QStringLiteral(" may not have reached the device whole: it went away without "
                                  "telling how much it had read. A line end goes before the next "
                                  "line sent, so the device can drop what it holds of them."));
    // The line end owed goes first when the device is back.
    PtyDevice back;
    qputenv("KAVREL_COM1", QFile::encodeName(back.slavePath()));
    QVERIFY(m_rig->start());
    form().Command1->click();
    QCOMPARE(back.read(int(after.size()), 10000), after);
    QTRY_VERIFY_WITH_TIMEOUT(!sending(), 10000);
    form().ClosePort();
}

QTEST_MAIN(TestSendCut)
#include "tst_send_cut.moc"
