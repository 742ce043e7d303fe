// The serial link over a real pty: opening and closing the port, and received characters
// becoming stamped lines at the end of the received pane.
#include "app/Form1.h"
#include "panes/lines/LinePane.h"
#include "panes/RichTextBox.h"
#include "serial/Clock.h"
#include "serial/MSComm.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/WindowOnPty.h"

#include <QAction>
#include <QDateTime>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <limits>
#include <memory>

class TestReceive : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void openingUsesTheSelectedCaptions();
    void openFailureForAMissingDevice();
    void openFailureForSettingsThePortRejects();
    void openingAnOpenPortKeepsThePartialLine();
    void stampsInTheirOrder_data();
    void stampsInTheirOrder();
    void stampsKeepUpWithTheWallClock();
    void lineEnds_data();
    void lineEnds();
    void partialLineIsDiscardedByTheNextOpen();
    void linesGoToTheVeryEnd();
    void numberingRunsAcrossCloseAndReopen();
    void numberingAfterTheLargestIsOne();
    void lineErrorsCloseThePortAndSay_data();
    void lineErrorsCloseThePortAndSay();
    void otherEventsChangeNothing();
    void unpluggedDeviceClosesThePortOnce();
    void burstArrivesWholeAndInOrder();
    void receivedTextMarksThePaneChanged();

private:
    Form1 &form() const { return m_rig->form(); }
    // The device sends these bytes; the test then waits for what they should bring about.
    void send(const QByteArray &bytes) { QVERIFY(m_rig->device().write(bytes)); }
    QString paneText() const { return form().RichTextBox2->Text(); }

    std::unique_ptr<WindowOnPty> m_rig;
};

void TestReceive::init()
{
    m_rig = std::make_unique<WindowOnPty>();
    QVERIFY(m_rig->isValid());
}

void TestReceive::cleanup()
{
    const QString left = WindowOnPty::endOfTest(m_rig);
    QVERIFY2(left.isEmpty(), qPrintable(left));
}

void TestReceive::openingUsesTheSelectedCaptions()
{
    QVERIFY(WindowOnPty::choose(form().BPS[7])); // 28800
    QVERIFY(WindowOnPty::choose(form().Parity[2])); // N
    QVERIFY(WindowOnPty::choose(form().Length[1])); // 8
    QVERIFY(WindowOnPty::choose(form().Bit[2])); // 2 stop bits
    QVERIFY(m_rig->start());
    QCOMPARE(form().MSComm1->CommPort(), 1);
    QCOMPARE(form().MSComm1->Settings(), QStringLiteral("28800N82"));
    QCOMPARE(m_rig->device().slaveSpeed(), 28800);
    QVERIFY(m_rig->device().twoStopBits());
    QVERIFY(m_rig->portOpenAsShown());
    QVERIFY(form().mTimer->menuAction()->isEnabled());
    QVERIFY(form().mOption->menuAction()->isEnabled());

    form().ClosePort();
    QVERIFY(m_rig->portClosedAsShown());
    // Closing a closed port is no error and says the same.
    form().ClosePort();
    QVERIFY(m_rig->portClosedAsShown());
}

void TestReceive::openFailureForAMissingDevice()
{
    const QString missing = m_rig->settingsFolder() + QStringLiteral("/no-such-device");
    qputenv("KAVREL_COM1", missing.toLocal8Bit());
    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok);
    form().OpenPort();
    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(answerer.shown().size(), 1);
    const ShownDialog &box = answerer.shown().first();
    QCOMPARE(box.title, QStringLiteral("Kavrel"));
    QCOMPARE(box.text, QStringLiteral("Can not Open !\nPlease check Com Port !"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY2(box.informativeText.contains(missing), qPrintable(box.informativeText));
    QVERIFY(m_rig->portClosedAsShown());
}

void TestReceive::openFailureForSettingsThePortRejects()
{
    QVERIFY(WindowOnPty::choose(form().Length[1])); // 8 data bits
    QVERIFY(WindowOnPty::choose(form().Bit[1])); // 1.5 stop bits
    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok);
    form().OpenPort();
    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(answerer.shown().size(), 1);
    QCOMPARE(answerer.shown().first().text,
             QStringLiteral("Can not Open !\nPlease check Com Port !"));
    QVERIFY(answerer.shown().first().informativeText.contains(QStringLiteral("1.5")));
    QVERIFY(m_rig->portClosedAsShown());

    // A record that names no item fails the same way. No menu item chooses a port beyond the
    // eighth: the record gets it directly, as from a settings file edited by hand.
    QVERIFY(WindowOnPty::choose(form().Bit[0]));
    form().IniVal[0] = QStringLiteral("9");
    answerer.answerMessage(QMessageBox::Ok);
    form().OpenPort();
    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(answerer.shown().size(), 2);
    QVERIFY(m_rig->portClosedAsShown());
}

void TestReceive::openingAnOpenPortKeepsThePartialLine()
{
    QVERIFY(m_rig->start());
    send("AB");
    QTRY_COMPARE(form().RcvLine, QStringLiteral("AB"));
    form().OpenPort();
    QVERIFY(m_rig->portOpenAsShown());
    QCOMPARE(form().RcvLine, QStringLiteral("AB"));
    send("\r\n");
    QTRY_COMPARE(paneText(), QStringLiteral("AB\r\n"));
}

void TestReceive::stampsInTheirOrder_data()
{
    QTest::addColumn<bool>("time");
    QTest::addColumn<bool>("date");
    QTest::addColumn<bool>("seq");
    QTest::addColumn<QString>("pattern");
    const QString t = QStringLiteral(",(\\d\\d:\\d\\d:\\d\\d)");
    const QString d = QStringLiteral(",(\\d\\d-\\d\\d-\\d\\d\\d\\d)");
    QTest::newRow("none") << false << false << false << QStringLiteral("ABC");
    QTest::newRow("time") << true << false << false << "ABC" + t;
    QTest::newRow("date") << false << true << false << "ABC" + d;
    QTest::newRow("seq") << false << false << true << QStringLiteral("ABC,5");
    QTest::newRow("time date") << true << true << false << "ABC" + t + d;
    QTest::newRow("time seq") << true << false << true << "ABC" + t + ",5";
    QTest::newRow("date seq") << false << true << true << "ABC" + d + ",5";
    QTest::newRow("all") << true << true << true << "ABC" + t + d + ",5";
}

void TestReceive::stampsInTheirOrder()
{
    QFETCH(bool, time);
    QFETCH(bool, date);
    QFETCH(bool, seq);
    QFETCH(QString, pattern);

    QVERIFY(WindowOnPty::choose(form().mTime, time));
    QVERIFY(WindowOnPty::choose(form().mDate, date));
    QVERIFY(WindowOnPty::choose(form().mSeq, seq));
    form().SeqNo = 4; // after the choice, which numbers from 1 again
    QVERIFY(m_rig->start());
    const QDateTime before = QDateTime::currentDateTime();
    send("ABC\r\n");
    QTRY_VERIFY(paneText().endsWith(QStringLiteral("\r\n")));
    const QDateTime after = QDateTime::currentDateTime();

    const QRegularExpression re(QRegularExpression::anchoredPattern(pattern + "\r\n"));
    const QRegularExpressionMatch match = re.match(paneText());
    QVERIFY2(match.hasMatch(), qPrintable(paneText()));
    // The stamps are the clock at the moment the line completed.
    for (int i = 1; i <= match.lastCapturedIndex(); ++i) {
        const QString stamp = match.captured(i);
        const QString format
            = stamp.contains(u':') ? QStringLiteral("HH:mm:ss") : QStringLiteral("MM-dd-yyyy");
        QVERIFY2(stamp == before.toString(format) || stamp == after.toString(format),
                 qPrintable(stamp));
    }
    QCOMPARE(form().SeqNo, seq ? 5 : 4);
}

void TestReceive::stampsKeepUpWithTheWallClock()
{
    // Across a change of second the stamp must already show the new second once the
    // wall clock does: a stamp from a lagging clock would be a second early.
    const QString first = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
    int checked = 0;
    for (;;) {
        const QDateTime before = QDateTime::currentDateTime();
        const QString stamp = clockTime();
        const QDateTime after = QDateTime::currentDateTime();
        const QString earliest = before.toString(QStringLiteral("HH:mm:ss"));
        QVERIFY2(stamp == earliest || stamp == after.toString(QStringLiteral("HH:mm:ss")),
                 qPrintable(stamp + " outside " + earliest));
        ++checked;
        if (earliest != first && before.time().msec() > 20)
            break;
    }
    QVERIFY(checked > 1);
}

void TestReceive::lineEnds_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("time");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("pending");

    QTest::newRow("CR LF") << QByteArray("12.5\r\n") << false << "12.5\r\n"
                           << "";
    QTest::newRow("CR alone") << QByteArray("12.5\r13.0\r") << false << "12.5\r\n13.0\r\n"
                              << "";
    QTest::newRow("LF alone completes nothing") << QByteArray("A\nB") << false << ""
                                                << "AB";
    QTest::newRow("LF dropped inside a line") << QByteArray("A\nB\r") << false << "AB\r\n"
                                              << "";
    QTest::newRow("empty line") << QByteArray("\r\n") << false << "\r\n"
                                << "";
    QTest::newRow("empty line with time") << QByteArray("\r") << true << ",TIME\r\n"
                                          << "";
    QTest::newRow("ACK inside") << QByteArray("O\x06K\r") << false << "O<AK>K\r\n"
                                << "";
    QTest::newRow("ACK alone") << QByteArray("\x06\r") << false << "<AK>\r\n"
                               << "";
    QTest::newRow("ACK pending") << QByteArray("\x06") << false << ""
                                 << "<AK>";
    QTest::newRow("ESC D") << QByteArray("d=\x1b"
                                         "D;\r")
                           << false << "d=DATE;\r\n"
                           << "";
    QTest::newRow("ESC T") << QByteArray("t=\x1bT;\r") << false << "t=TIME;\r\n"
                           << "";
    QTest::newRow("ESC d dropped") << QByteArray("a\x1b"
                                                 "db\r")
                                   << false << "ab\r\n"
                                   << "";
    QTest::newRow("ESC t dropped") << QByteArray("a\x1btb\r") << false << "ab\r\n"
                                   << "";
    QTest::newRow("ESC CR: the line goes on") << QByteArray("a\x1b\rb") << false << ""
                                              << "ab";
    QTest::newRow("ESC ESC") << QByteArray("a\x1b\x1b"
                                           "Db\r")
                             << false << "aDb\r\n"
                             << "";
    QTest::newRow("UTF-8 and Latin-1") << QByteArray("\xc2\xb0"
                                                     "C \xb0"
                                                     "C \xff\r")
                                       << false << "\u00b0C \u00b0C \u00ff\r\n"
                                       << "";
    QTest::newRow("control characters kept") << QByteArray("a\tb\x01\r") << false << "a\tb\x01\r\n"
                                             << "";
    // A CR right after the limit ended a line ends nothing more; a second one does.
    const QByteArray full(65536, 'a');
    const QString line = QString(full) + QStringLiteral("\r\n");
    QTest::newRow("limit, CR LF") << full + "\r\nb\r" << false << line + "b\r\n"
                                  << "";
    QTest::newRow("limit, two CRs") << full + "\r\r" << false << line + "\r\n"
                                    << "";
    QTest::newRow("limit reached by ACK, CR")
        << full.sliced(3) + "\x06\r" << false << QString(full.sliced(3)) + "<AK>\r\n"
        << "";
    QTest::newRow("limit reached by a pair beyond U+FFFF, CR")
        << full.sliced(1) + "\xf0\x9e\xa4\x80\r" << false
        << QString(full.sliced(1)) + QStringLiteral("\U0001E900\r\n") << "";
}

void TestReceive::lineEnds()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, time);
    QFETCH(QString, expected);
    QFETCH(QString, pending);

    QVERIFY(WindowOnPty::choose(form().mTime, time));
    QVERIFY(m_rig->start());
    send(bytes);
    // Stamps are checked for their form here; their values elsewhere.
    const auto shown = [this] {
        QString text = paneText();
        text.replace(QRegularExpression(QStringLiteral("\\d\\d:\\d\\d:\\d\\d")),
                     QStringLiteral("TIME"));
        text.replace(QRegularExpression(QStringLiteral("\\d\\d-\\d\\d-\\d\\d\\d\\d")),
                     QStringLiteral("DATE"));
        return text;
    };
    QTRY_COMPARE(form().RcvLine, pending);
    QTRY_COMPARE(shown(), expected);
}

void TestReceive::partialLineIsDiscardedByTheNextOpen()
{
    QVERIFY(m_rig->start());
    send("partial");
    QTRY_COMPARE(form().RcvLine, QStringLiteral("partial"));
    form().ClosePort();
    QVERIFY(m_rig->portClosedAsShown());
    QCOMPARE(paneText(), QString());
    QVERIFY(m_rig->start());
    QCOMPARE(form().RcvLine, QString());
    send("X\r");
    QTRY_COMPARE(paneText(), QStringLiteral("X\r\n"));

    // An escape pending at the close is forgotten too.
    send("\x1b");
    QTRY_COMPARE(form().EscFlag, Form1::True);
    form().ClosePort();
    QVERIFY(m_rig->start());
    QCOMPARE(form().EscFlag, Form1::False);
    send("D\r");
    QTRY_COMPARE(paneText(), QStringLiteral("X\r\nD\r\n"));
}

void TestReceive::linesGoToTheVeryEnd()
{
    form().RichTextBox2->setText(QStringLiteral("first\r\nsecond\r\n\u00ffthird"));
    QVERIFY(m_rig->start());
    // The caret in the middle, then a selection there.
    form().RichTextBox2->setSelStart(3);
    send("one\r");
    QTRY_VERIFY(paneText().endsWith(QStringLiteral("one\r\n")));
    form().RichTextBox2->setSelStart(2);
    form().RichTextBox2->setSelLength(8);
    send("two\r");
    QTRY_COMPARE(paneText(), QStringLiteral("first\r\nsecond\r\n\u00ffthirdone\r\ntwo\r\n"));
}

void TestReceive::numberingRunsAcrossCloseAndReopen()
{
    QVERIFY(WindowOnPty::choose(form().mSeq));
    QVERIFY(m_rig->start());
    send("a\rb\r");
    QTRY_COMPARE(paneText(), QStringLiteral("a,1\r\nb,2\r\n"));
    form().ClosePort();
    QVERIFY(m_rig->start());
    send("c\r");
    QTRY_COMPARE(paneText(), QStringLiteral("a,1\r\nb,2\r\nc,3\r\n"));

    // Lines completed without the option do not count. Choosing it, either way, numbers from
    // 1 again.
    QVERIFY(WindowOnPty::choose(form().mSeq, false));
    send("d\r");
    QTRY_VERIFY(paneText().endsWith(QStringLiteral("d\r\n")));
    QCOMPARE(form().SeqNo, 0);
    QVERIFY(WindowOnPty::choose(form().mSeq));
    send("e\r");
    QTRY_VERIFY(paneText().endsWith(QStringLiteral("d\r\ne,1\r\n")));
}

void TestReceive::numberingAfterTheLargestIsOne()
{
    QVERIFY(WindowOnPty::choose(form().mSeq));
    form().SeqNo = std::numeric_limits<std::int32_t>::max() - 1;
    QVERIFY(m_rig->start());
    send("a\rb\rc\r");
    QTRY_COMPARE(paneText(), QStringLiteral("a,2147483647\r\nb,1\r\nc,2\r\n"));
}

void TestReceive::lineErrorsCloseThePortAndSay_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("overflow") << 1008 << "Input Buffer Overflowed !";
    QTest::newRow("parity") << 1009 << "Communication Error 1009 !";
    QTest::newRow("framing") << 1004 << "Communication Error 1004 !";
    QTest::newRow("lowest error") << 11 << "Communication Error 11 !";
}

void TestReceive::lineErrorsCloseThePortAndSay()
{
    QFETCH(int, code);
    QFETCH(QString, text);

    QVERIFY(WindowOnPty::choose(form().mSeq));
    form().SeqNo = 7;
    form().RichTextBox2->setText(QStringLiteral("kept\r\n"));
    QVERIFY(m_rig->start());
    send("pending");
    QTRY_COMPARE(form().RcvLine, QStringLiteral("pending"));
    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok);
    form().MSComm1->raiseEventForTesting(std::int16_t(code));
    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(answerer.shown().size(), 1);
    QCOMPARE(answerer.shown().first().text, text);
    QCOMPARE(answerer.shown().first().icon, QMessageBox::Critical);
    QCOMPARE(answerer.shown().first().title, QStringLiteral("Kavrel"));
    QVERIFY(m_rig->portClosedAsShown());
    QCOMPARE(paneText(), QStringLiteral("kept\r\n"));
    QCOMPARE(form().SeqNo, 7);
    QCOMPARE(form().RcvLine, QStringLiteral("pending"));
}

void TestReceive::otherEventsChangeNothing()
{
    QVERIFY(m_rig->start());
    for (std::int16_t code : {1, 3, 4, 5, 6, 7, 10}) {
        form().MSComm1->raiseEventForTesting(code);
        QVERIFY(form().MSComm1->PortOpen());
    }
    QCOMPARE(paneText(), QString());
    QVERIFY(!QApplication::activeModalWidget());
}

void TestReceive::unpluggedDeviceClosesThePortOnce()
{
    QVERIFY(m_rig->start());
    send("before\r");
    QTRY_COMPARE(paneText(), QStringLiteral("before\r\n"));
    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok);
    m_rig->device().closeMaster();
    QVERIFY(answerer.waitAllAnswered(5000));
    QCOMPARE(answerer.shown().first().text, QStringLiteral("Communication Error 1011 !"));
    QVERIFY(answerer.shown().first().informativeText.contains(m_rig->device().slavePath()));
    QVERIFY(m_rig->portClosedAsShown());
    // One box only, and the window stays usable.
    QTest::qWait(300);
    QCOMPARE(answerer.shown().size(), 1);
    QVERIFY(!QApplication::activeModalWidget());
    QCOMPARE(paneText(), QStringLiteral("before\r\n"));
}

void TestReceive::burstArrivesWholeAndInOrder()
{
    QVERIFY(WindowOnPty::choose(form().mSeq));
    QVERIFY(m_rig->start());
    QByteArray burst;
    QString expected;
    for (int i = 1; i <= 10000; ++i) {
        burst += QByteArray::number(i * 7) + ".5,OK\r\n";
        expected += QStringLiteral("%1.5,OK,%2\r\n").arg(i * 7).arg(i);
    }
    QVERIFY(m_rig->device().write(burst));
    QTRY_COMPARE_WITH_TIMEOUT(form().RichTextBox2->property("lineCount").toInt(), 10001, 20000);
    QCOMPARE(paneText(), expected);
}

void TestReceive::receivedTextMarksThePaneChanged()
{
    QVERIFY(m_rig->start());
    QCOMPARE(form().Modified[2], Form1::False);
    send("partial");
    QTRY_COMPARE(form().RcvLine, QStringLiteral("partial"));
    QCOMPARE(form().Modified[2], Form1::False);
    send("\r");
    QTRY_COMPARE(form().Modified[2], Form1::True);
    QCOMPARE(form().Modified[1], Form1::False);
}

QTEST_MAIN(TestReceive)
#include "tst_receive.moc"
