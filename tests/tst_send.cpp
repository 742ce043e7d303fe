// Sending: Start, Send, Stop and the send timer over a pseudo-terminal, read back byte by byte.
// Header, footer, line errors and closes under a transmission: tst_send_port.cpp.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "send/SendText.h"
#include "serial/MSComm.h"
#include "tests/support/WindowOnPty.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

class TestSend : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cValReadsCaptionsAndOddTexts_data();
    void cValReadsCaptionsAndOddTexts();
    void waitCaptionsGiveTheirSeconds();
    void linesLeaveWithTheirTerminator_data();
    void linesLeaveWithTheirTerminator();
    void emptyPaneEndsAtOnce();
    void userSelectionIsIgnored();
    void sendDuringTransmissionStartsOver();
    void stopEndsTheTransmission();
    void menusChangedMidTransmissionApplyToLaterLines();
    void linesAreDueAtFixedStepsFromSend();
    void sendingIsPacedByTheWire_data();
    void sendingIsPacedByTheWire();
    void loadedFileSendsTheSameWhateverItsLineEnds_data();
    void loadedFileSendsTheSameWhateverItsLineEnds();

private:
    // A window whose lines end in CR LF (or CR) and wait as the Wait item says, chosen as the
    // user chooses them.
    bool setUp(bool crlf, int waitItem);
    Form1 &form() const { return m_rig->form(); }
    PtyDevice &device() const { return m_rig->device(); }
    // The send pane holds the text, and Send is pressed.
    void send(const QString &text);
    bool sending() const { return form().Timer1->isActive(); }

    std::unique_ptr<WindowOnPty> m_rig;
};

void TestSend::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestSend::cleanup()
{
    const QString left = WindowOnPty::endOfTest(m_rig);
    QVERIFY2(left.isEmpty(), qPrintable(left));
}

bool TestSend::setUp(bool crlf, int waitItem)
{
    m_rig = std::make_unique<WindowOnPty>();
    return m_rig->isValid() && WindowOnPty::choose(form().Port[0])
        && WindowOnPty::choose(form().Term[crlf ? 0 : 1])
        && WindowOnPty::choose(form().Wait[std::size_t(waitItem)]);
}

void TestSend::send(const QString &text)
{
    form().RichTextBox1->setText(text);
    form().Command1->click();
}

void TestSend::cValReadsCaptionsAndOddTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::newRow("caption") << "0.3" << 0.3;
    QTest::newRow("decimal comma") << "0,5" << 0.5;
    QTest::newRow("leading blank") << " 1.0" << 1.0;
    QTest::newRow("blanks, tab and line feed inside") << "\t0 .\n2 5" << 0.25;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("no number") << "abc" << 0.0;
    QTest::newRow("number then letters") << "1.5x" << 1.5;
    QTest::newRow("second comma ends the number") << "1,5,3" << 1.5;
    QTest::newRow("no integer part") << ".5" << 0.5;
    QTest::newRow("sign") << "-0.25" << -0.25;
    QTest::newRow("exponent") << "2.5E1" << 25.0;
    QTest::newRow("exponent without digits") << "1.5e" << 1.5;
    QTest::newRow("point alone") << "." << 0.0;
    QTest::newRow("carriage return is not skipped") << "\r1" << 0.0;
    QTest::newRow("out of range") << "1e999" << 0.0;
}

void TestSend::cValReadsCaptionsAndOddTexts()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    const QString before = text;
    QCOMPARE(C_Val(text), value);
    QCOMPARE(text, before);
}

void TestSend::waitCaptionsGiveTheirSeconds()
{
    m_rig = std::make_unique<WindowOnPty>();
    QVERIFY(m_rig->isValid());
    for (std::size_t i = 0; i < form().Wait.size(); ++i)
        QCOMPARE(C_Val(form().Wait[i]->text()), double(i) / 10.0);
}

void TestSend::linesLeaveWithTheirTerminator_data()
{
    QTest::addColumn<QString>("pane");
    QTest::addColumn<bool>("crlf");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("caretAfter");
    QTest::newRow("CR LF") << "AB\r\nCD" << true << QByteArray("AB\r\nCD\r\n") << 6;
    QTest::newRow("CR") << "AB\r\nCD" << false << QByteArray("AB\rCD\r") << 6;
    QTest::newRow("empty line ends it")
        << "A\r\nB\r\n\r\nC" << true << QByteArray("A\r\nB\r\n") << 6;
    QTest::newRow("last line with a break") << "AB\r\nCD\r\n"
                                            << true << QByteArray("AB\r\nCD\r\n") << 8;
    QTest::newRow("line of blanks") << "X\r\n   \r\nY" << false << QByteArray("X\r   \rY\r") << 9;
    QTest::newRow("tabs and UTF-8") << "a\tb\r\nK\u00e4se \u20ac" << true
                                    << QByteArray("a\tb\r\nK\xc3\xa4se \xe2\x82\xac\r\n") << 11;
    QTest::newRow("first line empty") << "\r\nAB" << true << QByteArray() << 0;
}

void TestSend::linesLeaveWithTheirTerminator()
{
    QFETCH(QString, pane);
    QFETCH(bool, crlf);
    QFETCH(QByteArray, bytes);
    QFETCH(int, caretAfter);

    QVERIFY(setUp(crlf, 0));
    QVERIFY(m_rig->start());
    send(pane);
    QVERIFY(sending());
    QVERIFY(form().RichTextBox1->Locked());
    QTRY_VERIFY_WITH_TIMEOUT(!sending(), 10000);
    QCOMPARE(device().readUntilQuiet(bytes.size()), bytes);

    // The end of a transmission leaves the port open and the pane editable, the caret where
    // the walk stopped.
    QVERIFY(m_rig->portOpenAsShown());
    QVERIFY(!form().RichTextBox1->Locked());
    QCOMPARE(form().RichTextBox1->SelStart(), caretAfter);
    QCOMPARE(form().RichTextBox1->SelLength(), 0);
    QCOMPARE(form().RichTextBox1->Text(), pane);
}

void TestSend::emptyPaneEndsAtOnce()
{
    QVERIFY(setUp(true, 0));
    QVERIFY(m_rig->start());
    send(QString());
    QVERIFY(form().SendLine.isEmpty());
    QTRY_VERIFY(!sending());
    QVERIFY(form().MSComm1->PortOpen());
    QVERIFY(!form().RichTextBox1->Locked());
    QCOMPARE(device().readUntilQuiet(), QByteArray());
}

void TestSend::userSelectionIsIgnored()
{
    QVERIFY(setUp(false, 0));
    QVERIFY(m_rig->start());
    form().RichTextBox1->setText(QStringLiteral("AB\r\nCD\r\nEF"));
    form().RichTextBox1->setSelStart(5);
    form().RichTextBox1->setSelLength(4);
    form().Command1->click();
    QTRY_VERIFY_WITH_TIMEOUT(!sending(), 10000);
    QCOMPARE(device().readUntilQuiet(9), QByteArray("AB\rCD\rEF\r"));
}

void TestSend::sendDuringTransmissionStartsOver()
{
    QVERIFY(setUp(true, 10)); // 1.0 s between lines
    QVERIFY(m_rig->start());
    send(QStringLiteral("L1\r\nL2\r\nL3"));
    QCOMPARE(device().read(4, 5000), QByteArray("L1\r\n"));
    QCOMPARE(form().SendLine, QStringLiteral("L2\r\n"));

    form().Command1->click();
    QTRY_VERIFY_WITH_TIMEOUT(!sending(), 15000);
    QCOMPARE(device().readUntilQuiet(12), QByteArray("L1\r\nL2\r\nL3\r\n"));
}

void TestSend::stopEndsTheTransmission()
{
    QVERIFY(setUp(true, 10));
    QVERIFY(m_rig->start());
    send(QStringLiteral("L1\r\nL2\r\nL3"));
    QCOMPARE(device().read(4, 5000), QByteArray("L1\r\n"));
    // The prepared line shows selected until it goes.
    QCOMPARE(form().RichTextBox1->SelText(), QStringLiteral("L2"));

    form().Command2->click();
    QVERIFY(m_rig->portClosedAsShown());
    QVERIFY(!sending());
    QVERIFY(!form().RichTextBox1->Locked());
    // Past the time the next line was due, nothing more came.
    QTRY_VERIFY_WITH_TIMEOUT(pacingClock() > form().NextSendTime + 0.2, 5000);
    QCOMPARE(device().readUntilQuiet(), QByteArray());
}

void TestSend::menusChangedMidTransmissionApplyToLaterLines()
{
    QVERIFY(setUp(true, 10));
    QVERIFY(m_rig->start());
    send(QStringLiteral("L1\r\nL2\r\nL3\r\nL4"));
    const double sent = form().NextSendTime;
    QCOMPARE(device().read(4, 5000), QByteArray("L1\r\n"));

    // L2 is prepared already: it keeps CR LF and its due time; L3 and L4 take CR and no wait.
    QVERIFY(WindowOnPty::choose(form().Term[1]));
    QVERIFY(WindowOnPty::choose(form().Wait[0]));
    QTRY_VERIFY_WITH_TIMEOUT(!sending(), 15000);
    QCOMPARE(device().readUntilQuiet(10), QByteArray("L2\r\nL3\rL4\r"));
    // L2 went at its time (or, late, from the moment it went) and L3 and L4 added no wait.
    QVERIFY(form().NextSendTime >= sent + 1.0);
    QVERIFY(form().NextSendTime < sent + 2.0);
}

void TestSend::linesAreDueAtFixedStepsFromSend()
{
    QVERIFY(setUp(false, 5)); // 0.5 s
    QVERIFY(m_rig->start());
    const QString longLine(300, QLatin1Char('x'));
    send(QStringLiteral("1\r\n") + longLine + QStringLiteral("\r\n3"));
    const double sent = form().NextSendTime;

    // The moment the first byte of each line is seen on the device.
    QByteArray got;
    const auto seenAt = [&](qsizetype size) {
        while (got.size() < size) {
            const QByteArray more = device().read(1, 5000);
            if (more.isEmpty())
                return -1.0;
            got += more;
        }
        return pacingClock();
    };
    const double secondSeen = seenAt(2 + 1);
    const double thirdSeen = seenAt(2 + 301 + 1);
    QCOMPARE(got + device().readUntilQuiet(2 + 301 + 2 - got.size()),
             "1\r" + QByteArray(300, 'x') + "\r3\r");

    // Lower bounds only: a line never leaves before its time.
    QVERIFY2(secondSeen >= sent + 0.5, qPrintable(QString::number(secondSeen - sent)));
    QVERIFY2(thirdSeen >= sent + 0.5 + 0.5, qPrintable(QString::number(thirdSeen - sent)));
}

void TestSend::sendingIsPacedByTheWire_data()
{
    QTest::addColumn<bool>("stopMidway");
    QTest::newRow("the device reads at last") << false;
    QTest::newRow("Stop while the device reads nothing") << true;
}

void TestSend::sendingIsPacedByTheWire()
{
    QFETCH(bool, stopMidway);

    // 200 lines of 500 characters, wait 0.0: far more than the line holds while the device
    // reads nothing (a pseudo-terminal takes a few KB).
    QVERIFY(setUp(true, 0));
    QVERIFY(m_rig->start());
    QStringList lines;
    QByteArray expected;
    for (int k = 0; k < 200; ++k) {
        QString line = QStringLiteral("%1:").arg(k, 3, 10, QLatin1Char('0'));
        while (line.size() < 500)
            line += QLatin1Char(char('A' + (line.size() + k) % 26));
        lines << line;
        expected += line.toLatin1() + "\r\n";
    }
    send(lines.join(QStringLiteral("\r\n")));

    // A hundred ticks, each of which may write a line: the line fills after some forty, and
    // from then on one line waits in the port while the transmission goes on.
    QSignalSpy ticks(form().Timer1, &QTimer::timeout);
    QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 100 || !sending(), 30000);
    QVERIFY(sending());
    QVERIFY(form().RichTextBox1->Locked());
    QVERIFY(form().MSComm1->OutBufferCount() > 0);
    QVERIFY2(form().MSComm1->OutBufferCount() <= 502,
             qPrintable(QString::number(form().MSComm1->OutBufferCount())));

    if (stopMidway) {
        // The line not yet begun is the one selected; nothing after the one in flight went.
        const int inFlightEnds = form().RichTextBox1->SelStart();
        form().Command2->click();
        QVERIFY(!form().RichTextBox1->Locked());
        const QByteArray got = device().readUntilQuiet();
        QVERIFY(expected.startsWith(got));
        QVERIFY2(got.size() <= inFlightEnds, qPrintable(QString::number(got.size())));
        return;
    }

    // Read as fast as the device can: everything arrives, in order; no line is queued behind
    // one still waiting, and the pane unlocks only once the last line has left.
    QByteArray got;
    int mostQueued = 0;
    bool unlockedBeforeTheEnd = false;
    QDeadlineTimer limit(60000);
    while (got.size() < expected.size() && !limit.hasExpired()) {
        got += device().read(-1, 20);
        mostQueued = std::max(mostQueued, form().MSComm1->OutBufferCount());
        // What the pseudo-terminal itself holds (some 20 KB) may still be unread by then.
        unlockedBeforeTheEnd |= !sending() && expected.size() - got.size() > 32 * 1024;
    }
    QCOMPARE(got, expected);
    QVERIFY2(mostQueued <= 502, qPrintable(QString::number(mostQueued)));
    QVERIFY(!unlockedBeforeTheEnd);
    QTRY_VERIFY_WITH_TIMEOUT(!sending(), 10000);
    QVERIFY(!form().RichTextBox1->Locked());
    QCOMPARE(device().readUntilQuiet(), QByteArray());
}

void TestSend::loadedFileSendsTheSameWhateverItsLineEnds_data()
{
    QTest::addColumn<QByteArray>("file");
    const QByteArray line(70, 'q');
    QTest::newRow("CR LF") << "first\r\n" + line + "\r\nlast\r\n\r\nnot sent\r\n";
    QTest::newRow("LF") << "first\n" + line + "\nlast\n\nnot sent\n";
    QTest::newRow("CR") << "first\r" + line + "\rlast\r\rnot sent\r";
}

void TestSend::loadedFileSendsTheSameWhateverItsLineEnds()
{
    QFETCH(QByteArray, file);
    QVERIFY(setUp(true, 0));
    const QString path = m_rig->settingsFolder() + QStringLiteral("/lines.txt");
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    QCOMPARE(out.write(file), file.size());
    out.close();
    QVERIFY(form().RichTextBox1->LoadFile(path, 1));

    QVERIFY(m_rig->start());
    form().Command1->click();
    QTRY_VERIFY_WITH_TIMEOUT(!sending(), 10000);
    QCOMPARE(device().readUntilQuiet(7 + 72 + 6),
             "first\r\n" + QByteArray(70, 'q') + "\r\nlast\r\n");
}

QTEST_MAIN(TestSend)
#include "tst_send.moc"
