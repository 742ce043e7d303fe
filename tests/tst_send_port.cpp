// Sending with the port in play: Start's header and Stop's footer, a transmission suspended by
// a close and resumed by Start.
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

namespace {

const QRegularExpression
    timeStamp(QStringLiteral("\\d\\d-\\d\\d-\\d{4}\\r\\n\\d\\d:\\d\\d:\\d\\d\\r\\n"));

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
    // Earlier text, with a character of code 255 in it: the stamp still goes to the very end.
    QTest::addColumn<QString>("earlier");
    const QString lines = QStringLiteral("12.5\r\n\u00ff13.0\r\n");
    QTest::newRow("header, port opens") << true << true << lines;
    QTest::newRow("header, port fails") << true << false << lines;
    QTest::newRow("no header") << false << true << lines;
    QTest::newRow("header after a note typed at the end: the date on a line of its own")
        << true << true << lines + "note";
}

void TestSendPort::headerOnStart()
{
    QFETCH(bool, header);
    QFETCH(bool, deviceThere);
    QFETCH(QString, earlier);

    QVERIFY(setUp(0));
    if (!deviceThere)
        qputenv("KAVREL_COM1", QFile::encodeName(m_rig->settingsFolder() + "/no-such-device"));
    QVERIFY(WindowOnPty::choose(form().mHeader, header));

    form().RichTextBox2->setText(earlier); // the caret at its start

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
    const QString lineEnd = earlier.endsWith(u'\n') ? QString() : QStringLiteral("\r\n");
    const QString added = text.mid(earlier.size());
    if (header) {
        QVERIFY2(added.startsWith(lineEnd) && timeStamp.match(added.mid(lineEnd.size())).hasMatch()
                     && added.size() == lineEnd.size() + 22,
                 qPrintable(added));
    } else {
        QCOMPARE(added, QString());
    }
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

QTEST_MAIN(TestSendPort)
#include "tst_send_port.moc"
