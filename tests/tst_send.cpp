// Sending: Start, Send, Stop and the send timer over a pseudo-terminal, read back byte by byte.
#include "app/Form1.h"
#include "panes/LinePane.h"
#include "panes/RichTextBox.h"
#include "send/SendText.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/PtyDevice.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

const QRegularExpression
    timeStamp(QStringLiteral("\\d\\d-\\d\\d-\\d{4}\\r\\n\\d\\d:\\d\\d:\\d\\d\\r\\n"));

// A window whose port 1 is the pty's slave end (or the given path), settings in a folder of
// its own.
struct Rig
{
    QTemporaryDir settingsDir;
    PtyDevice device;
    std::unique_ptr<Form1> form;

    bool setUp(bool crlf, int waitItem, const QString &portPath = QString())
    {
        if (!settingsDir.isValid() || !device.isValid())
            return false;
        overrideSettingsFolder(settingsDir.path());
        qputenv("KAVREL_COM1", (portPath.isEmpty() ? device.slavePath() : portPath).toLocal8Bit());
        form = std::make_unique<Form1>();
        form->LoadSettings();
        form->Port[0]->trigger();
        form->Term[crlf ? 0 : 1]->trigger();
        form->Wait[std::size_t(waitItem)]->trigger();
        return form->Port[0]->isChecked() && form->Term[crlf ? 0 : 1]->isChecked()
            && form->Wait[std::size_t(waitItem)]->isChecked();
    }

    bool start()
    {
        form->Command1->click();
        return form->MSComm1->PortOpen();
    }

    void send(const QString &text)
    {
        form->RichTextBox1->setText(text);
        form->Command1->click();
    }

    bool sending() const { return form->Timer1->isActive(); }

    // Everything that arrives until the line has been quiet for a while, after at least
    // `atLeast` bytes (bytes written by the program reach the device after the kernel's
    // deferred flush, which a busy machine may hold back longer than the quiet time).
    QByteArray readUntilQuiet(qsizetype atLeast = 0, int quietMs = 300, int limitMs = 20000)
    {
        QByteArray all = atLeast > 0 ? device.read(int(atLeast), limitMs) : QByteArray();
        QDeadlineTimer limit(limitMs);
        while (!limit.hasExpired()) {
            const QByteArray more = device.read(-1, quietMs);
            if (more.isEmpty())
                break;
            all += more;
        }
        return all;
    }
};

} // namespace

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
    void headerOnStart_data();
    void headerOnStart();
    void footerOnStopNotOnEnd();
    void suspendedAndResumedByStart_data();
    void suspendedAndResumedByStart();
};

void TestSend::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestSend::cleanup()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    QVERIFY(
        std::none_of(windows.cbegin(), windows.cend(), [](QWidget *w) { return w->isVisible(); }));
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
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    overrideSettingsFolder(dir.path());
    Form1 form;
    for (std::size_t i = 0; i < form.Wait.size(); ++i)
        QCOMPARE(C_Val(form.Wait[i]->text()), double(i) / 10.0);
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

    Rig rig;
    QVERIFY(rig.setUp(crlf, 0));
    QVERIFY(rig.start());
    rig.send(pane);
    QVERIFY(rig.sending());
    QVERIFY(rig.form->RichTextBox1->Locked());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sending(), 10000);
    QCOMPARE(rig.readUntilQuiet(bytes.size()), bytes);

    // The end of a transmission leaves the port open and the pane editable, the caret where
    // the walk stopped.
    QVERIFY(rig.form->MSComm1->PortOpen());
    QCOMPARE(rig.form->Command1->text(), QStringLiteral("Send"));
    QVERIFY(!rig.form->RichTextBox1->Locked());
    QCOMPARE(rig.form->RichTextBox1->SelStart(), caretAfter);
    QCOMPARE(rig.form->RichTextBox1->SelLength(), 0);
    QCOMPARE(rig.form->RichTextBox1->Text(), pane);
}

void TestSend::emptyPaneEndsAtOnce()
{
    Rig rig;
    QVERIFY(rig.setUp(true, 0));
    QVERIFY(rig.start());
    rig.send(QString());
    QVERIFY(rig.form->SendLine.isEmpty());
    QTRY_VERIFY(!rig.sending());
    QVERIFY(rig.form->MSComm1->PortOpen());
    QVERIFY(!rig.form->RichTextBox1->Locked());
    QCOMPARE(rig.readUntilQuiet(), QByteArray());
}

void TestSend::userSelectionIsIgnored()
{
    Rig rig;
    QVERIFY(rig.setUp(false, 0));
    QVERIFY(rig.start());
    rig.form->RichTextBox1->setText(QStringLiteral("AB\r\nCD\r\nEF"));
    rig.form->RichTextBox1->setSelStart(5);
    rig.form->RichTextBox1->setSelLength(4);
    rig.form->Command1->click();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sending(), 10000);
    QCOMPARE(rig.readUntilQuiet(9), QByteArray("AB\rCD\rEF\r"));
}

void TestSend::sendDuringTransmissionStartsOver()
{
    Rig rig;
    QVERIFY(rig.setUp(true, 10)); // 1.0 s between lines
    QVERIFY(rig.start());
    rig.send(QStringLiteral("L1\r\nL2\r\nL3"));
    QCOMPARE(rig.device.read(4, 5000), QByteArray("L1\r\n"));
    QCOMPARE(rig.form->SendLine, QStringLiteral("L2\r\n"));

    rig.form->Command1->click();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sending(), 15000);
    QCOMPARE(rig.readUntilQuiet(12), QByteArray("L1\r\nL2\r\nL3\r\n"));
}

void TestSend::stopEndsTheTransmission()
{
    Rig rig;
    QVERIFY(rig.setUp(true, 10));
    QVERIFY(rig.start());
    rig.send(QStringLiteral("L1\r\nL2\r\nL3"));
    QCOMPARE(rig.device.read(4, 5000), QByteArray("L1\r\n"));
    // The prepared line shows selected until it goes.
    QCOMPARE(rig.form->RichTextBox1->SelText(), QStringLiteral("L2"));

    rig.form->Command2->click();
    QVERIFY(!rig.form->MSComm1->PortOpen());
    QVERIFY(!rig.sending());
    QVERIFY(!rig.form->RichTextBox1->Locked());
    QCOMPARE(rig.form->Command1->text(), QStringLiteral("Start"));
    QCOMPARE(rig.form->Command2->text(), QStringLiteral("End"));
    // Past the time the next line was due, nothing more came.
    QTRY_VERIFY_WITH_TIMEOUT(pacingClock() > rig.form->NextSendTime + 0.2, 5000);
    QCOMPARE(rig.readUntilQuiet(), QByteArray());
}

void TestSend::menusChangedMidTransmissionApplyToLaterLines()
{
    Rig rig;
    QVERIFY(rig.setUp(true, 10));
    QVERIFY(rig.start());
    rig.send(QStringLiteral("L1\r\nL2\r\nL3\r\nL4"));
    const double sent = rig.form->NextSendTime;
    QCOMPARE(rig.device.read(4, 5000), QByteArray("L1\r\n"));

    // L2 is prepared already: it keeps CR LF and its due time; L3 and L4 take CR and no wait.
    rig.form->Term[1]->trigger();
    rig.form->Wait[0]->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sending(), 15000);
    QCOMPARE(rig.readUntilQuiet(10), QByteArray("L2\r\nL3\rL4\r"));
    // L2 went at its time (or, late, from the moment it went) and L3 and L4 added no wait.
    QVERIFY(rig.form->NextSendTime >= sent + 1.0);
    QVERIFY(rig.form->NextSendTime < sent + 2.0);
}

void TestSend::linesAreDueAtFixedStepsFromSend()
{
    Rig rig;
    QVERIFY(rig.setUp(false, 5)); // 0.5 s
    QVERIFY(rig.start());
    const QString longLine(300, QLatin1Char('x'));
    rig.send(QStringLiteral("1\r\n") + longLine + QStringLiteral("\r\n3"));
    const double sent = rig.form->NextSendTime;

    // The moment the first byte of each line is seen on the device.
    QByteArray got;
    const auto seenAt = [&](qsizetype size) {
        while (got.size() < size) {
            const QByteArray more = rig.device.read(1, 5000);
            if (more.isEmpty())
                return -1.0;
            got += more;
        }
        return pacingClock();
    };
    const double secondSeen = seenAt(2 + 1);
    const double thirdSeen = seenAt(2 + 301 + 1);
    QCOMPARE(got + rig.readUntilQuiet(2 + 301 + 2 - got.size()),
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
    Rig rig;
    QVERIFY(rig.setUp(true, 0));
    QVERIFY(rig.start());
    QStringList lines;
    QByteArray expected;
    for (int k = 0; k < 200; ++k) {
        QString line = QStringLiteral("%1:").arg(k, 3, 10, QLatin1Char('0'));
        while (line.size() < 500)
            line += QLatin1Char(char('A' + (line.size() + k) % 26));
        lines << line;
        expected += line.toLatin1() + "\r\n";
    }
    rig.send(lines.join(QStringLiteral("\r\n")));

    // A hundred ticks, each of which may write a line: the line fills after some forty, and
    // from then on one line waits in the port while the transmission goes on.
    QSignalSpy ticks(rig.form->Timer1, &QTimer::timeout);
    QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 100 || !rig.sending(), 30000);
    QVERIFY(rig.sending());
    QVERIFY(rig.form->RichTextBox1->Locked());
    QVERIFY(rig.form->MSComm1->OutBufferCount() > 0);
    QVERIFY2(rig.form->MSComm1->OutBufferCount() <= 502,
             qPrintable(QString::number(rig.form->MSComm1->OutBufferCount())));

    if (stopMidway) {
        // The line not yet begun is the one selected; nothing after the one in flight went.
        const int inFlightEnds = rig.form->RichTextBox1->SelStart();
        rig.form->Command2->click();
        QVERIFY(!rig.form->RichTextBox1->Locked());
        const QByteArray got = rig.readUntilQuiet();
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
        got += rig.device.read(-1, 20);
        mostQueued = std::max(mostQueued, rig.form->MSComm1->OutBufferCount());
        // What the pseudo-terminal itself holds (some 20 KB) may still be unread by then.
        unlockedBeforeTheEnd |= !rig.sending() && expected.size() - got.size() > 32 * 1024;
    }
    QCOMPARE(got, expected);
    QVERIFY2(mostQueued <= 502, qPrintable(QString::number(mostQueued)));
    QVERIFY(!unlockedBeforeTheEnd);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sending(), 10000);
    QVERIFY(!rig.form->RichTextBox1->Locked());
    QCOMPARE(rig.readUntilQuiet(), QByteArray());
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
    Rig rig;
    QVERIFY(rig.setUp(true, 0));
    const QString path = rig.settingsDir.filePath(QStringLiteral("lines.txt"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    QCOMPARE(out.write(file), file.size());
    out.close();
    QVERIFY(rig.form->RichTextBox1->LoadFile(path, 1));

    QVERIFY(rig.start());
    rig.form->Command1->click();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sending(), 10000);
    QCOMPARE(rig.readUntilQuiet(7 + 72 + 6), "first\r\n" + QByteArray(70, 'q') + "\r\nlast\r\n");
}

void TestSend::headerOnStart_data()
{
    QTest::addColumn<bool>("header");
    QTest::addColumn<bool>("deviceThere");
    QTest::newRow("header, port opens") << true << true;
    QTest::newRow("header, port fails") << true << false;
    QTest::newRow("no header") << false << true;
}

void TestSend::headerOnStart()
{
    QFETCH(bool, header);
    QFETCH(bool, deviceThere);

    Rig rig;
    const QString missing = rig.settingsDir.filePath(QStringLiteral("no-such-device"));
    QVERIFY(rig.setUp(true, 0, deviceThere ? QString() : missing));
    if (header != rig.form->mHeader->isChecked())
        rig.form->mHeader->trigger();
    QCOMPARE(rig.form->mHeader->isChecked(), header);

    // Earlier text, the caret at its start and a character of code 255 in it: the stamp still
    // goes to the very end.
    const QString earlier = QStringLiteral("12.5\r\n\u00ff13.0\r\n");
    rig.form->RichTextBox2->setText(earlier);
    rig.form->RichTextBox2->setSelStart(0);
    rig.form->Modified[2] = False;

    ModalAnswerer answerer;
    if (!deviceThere)
        answerer.answerMessage(QMessageBox::Ok);
    rig.form->Command1->click();
    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(rig.form->MSComm1->PortOpen(), deviceThere);
    QCOMPARE(answerer.shown().size(), deviceThere ? 0 : 1);

    const QString text = rig.form->RichTextBox2->Text();
    QVERIFY(text.startsWith(earlier));
    const QString added = text.mid(earlier.size());
    if (header)
        QVERIFY2(timeStamp.match(added).hasMatch() && added.size() == 22, qPrintable(added));
    else
        QCOMPARE(added, QString());
    // The stamp, like received text, marks the received pane as changed.
    QCOMPARE(rig.form->Modified[2], header ? True : False);
}

void TestSend::footerOnStopNotOnEnd()
{
    Rig rig;
    QVERIFY(rig.setUp(true, 0));
    rig.form->mFooter->trigger();
    QVERIFY(rig.form->mFooter->isChecked());
    QVERIFY(rig.start());
    QCOMPARE(rig.form->RichTextBox2->Text(), QString());

    rig.form->Command2->click();
    QVERIFY(!rig.form->MSComm1->PortOpen());
    const QString footer = rig.form->RichTextBox2->Text();
    QVERIFY2(timeStamp.match(footer).hasMatch() && footer.size() == 22, qPrintable(footer));
    QCOMPARE(rig.form->Modified[2], True);

    // End, with the port closed, offers to save the changed pane and writes no footer.
    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Cancel);
    QCOMPARE(runFromEventLoop(*rig.form, [&] { rig.form->Command2->click(); }), Outcome::Returned);
    QCOMPARE(answerer.shown().size(), 1);
    QCOMPARE(answerer.shown().first().text, QStringLiteral("Will you save this data?"));
    QCOMPARE(rig.form->RichTextBox2->Text(), footer);
    QVERIFY(!rig.form->hasEnded());
}

void TestSend::suspendedAndResumedByStart_data()
{
    QTest::addColumn<bool>("lineError");
    QTest::addColumn<QString>("message");
    QTest::newRow("line error") << true << "Communication Error 1011 !";
    QTest::newRow("File > End cancelled") << false << "Will you save this data?";
}

void TestSend::suspendedAndResumedByStart()
{
    QFETCH(bool, lineError);
    QFETCH(QString, message);

    Rig rig;
    QVERIFY(rig.setUp(true, 5)); // 0.5 s
    QVERIFY(rig.start());
    rig.send(QStringLiteral("L1\r\nL2\r\nL3"));
    QCOMPARE(rig.device.read(4, 5000), QByteArray("L1\r\n"));

    ModalAnswerer answerer;
    if (lineError) {
        answerer.answerMessage(QMessageBox::Ok);
        rig.form->MSComm1->raiseEventForTesting(MSComm::comEventDeviceGone);
        QVERIFY(answerer.waitAllAnswered());
    } else {
        answerer.answerMessage(QMessageBox::Cancel);
        QCOMPARE(runFromEventLoop(*rig.form, [&] { rig.form->mEnd->trigger(); }),
                 Outcome::Returned);
    }
    QCOMPARE(answerer.shown().size(), 1);
    QCOMPARE(answerer.shown().first().text, message);

    // Suspended: port closed, timer running, pane locked, buttons Start and End.
    QVERIFY(!rig.form->MSComm1->PortOpen());
    QVERIFY(rig.sending());
    QVERIFY(rig.form->RichTextBox1->Locked());
    QCOMPARE(rig.form->Command1->text(), QStringLiteral("Start"));
    QCOMPARE(rig.form->Command2->text(), QStringLiteral("End"));

    // L2 falls due while the port is closed, and L3's time passes too: nothing goes, and L2
    // stays prepared.
    QTRY_VERIFY_WITH_TIMEOUT(pacingClock() > rig.form->NextSendTime + 0.5 + 0.1, 5000);
    QCOMPARE(rig.readUntilQuiet(), QByteArray());
    QCOMPARE(rig.form->SendLine, QStringLiteral("L2\r\n"));
    QVERIFY(rig.sending());

    // Start opens the port again; the overdue L2 goes at once, and L3 a whole wait after it,
    // not in a burst with it.
    const double started = pacingClock();
    QVERIFY(rig.start());
    QCOMPARE(rig.device.read(4, 5000), QByteArray("L2\r\n"));
    QCOMPARE(rig.device.read(4, 5000), QByteArray("L3\r\n"));
    const double thirdSeen = pacingClock();
    QVERIFY2(thirdSeen >= started + 0.5, qPrintable(QString::number(thirdSeen - started)));
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sending(), 15000);
    QCOMPARE(rig.readUntilQuiet(), QByteArray());
    QVERIFY(!rig.form->RichTextBox1->Locked());
    QVERIFY(rig.form->MSComm1->PortOpen());
}

QTEST_MAIN(TestSend)
#include "tst_send.moc"
