// A line cut by a close: what the device is owed, the message that names the line, and the
// bytes the device reads before and after Start, whatever the user pressed meanwhile.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "send/LineCut.h"
#include "serial/MSComm.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/WindowOnPty.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// How the port closes under line 2.
enum class Close { DeviceGone, UnpluggedAndBack, EndCancelled };

} // namespace

class TestSendCut : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void whatACutLeaves_data();
    void whatACutLeaves();
    void cutLineNamedAndEnded_data();
    void cutLineNamedAndEnded();

private:
    Form1 &form() const { return m_rig->form(); }

    std::unique_ptr<WindowOnPty> m_rig;
};

void TestSendCut::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestSendCut::cleanup()
{
    const QString left = WindowOnPty::endOfTest(m_rig);
    QVERIFY2(left.isEmpty(), qPrintable(left));
}

void TestSendCut::whatACutLeaves_data()
{
    QTest::addColumn<QString>("lineEnd"); // owed from an earlier cut, written first
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("terminator");
    QTest::addColumn<int>("dropped"); // bytes at the end that never reached the device
    QTest::addColumn<QString>("owed");
    QTest::addColumn<int>("left"); // characters of the text that reached the device
    QTest::addColumn<bool>("begun");
    QTest::addColumn<bool>("whole");
    const QString none, cr = QStringLiteral("\r"), lf = QStringLiteral("\n");
    const QString crlf = cr + lf, abc = QStringLiteral("ABC");
    QTest::newRow("nothing dropped") << none << abc << crlf << 0 << none << 3 << true << true;
    QTest::newRow("the LF kept back: the line is not sent twice")
        << none << abc << crlf << 1 << lf << 3 << true << true;
    QTest::newRow("the whole CR LF kept back")
        << none << abc << crlf << 2 << crlf << 3 << true << true;
    QTest::newRow("the CR alone kept back") << none << abc << cr << 1 << cr << 3 << true << true;
    QTest::newRow("the last character kept back")
        << none << abc << crlf << 3 << crlf << 2 << true << false;
    QTest::newRow("none of the text left: it goes again, nothing owed")
        << none << abc << crlf << 5 << none << 0 << false << false;
    QTest::newRow("owed line end left, then nothing")
        << crlf << abc << crlf << 5 << none << 0 << false << false;
    QTest::newRow("owed line end half left")
        << crlf << abc << crlf << 6 << lf << 0 << false << false;
    QTest::newRow("owed line end not begun")
        << crlf << abc << crlf << 7 << crlf << 0 << false << false;
    QTest::newRow("more dropped than written")
        << cr << abc << cr << 99 << cr << 0 << false << false;
    QTest::newRow("a line end alone, half left")
        << crlf << none << none << 1 << lf << 0 << false << false;
    // K, then a-umlaut in two bytes of which one left: one character counts.
    QTest::newRow("two-byte character split")
        << none << QStringLiteral("K\u00e4se") << cr << 4 << cr << 1 << true << false;
    const QString pair = QStringLiteral("a\U0001F600b");
    QTest::newRow("surrogate pair split") << none << pair << cr << 4 << cr << 1 << true << false;
    QTest::newRow("surrogate pair whole") << none << pair << cr << 2 << cr << 3 << true << false;
}

void TestSendCut::whatACutLeaves()
{
    QFETCH(QString, lineEnd);
    QFETCH(QString, text);
    QFETCH(QString, terminator);
    QFETCH(int, dropped);
    const LineCut cut
        = cutLine({.lineEnd = lineEnd, .text = text, .terminator = terminator}, dropped);
    QTEST(cut.lineEndOwed, "owed");
    QTEST(int(cut.charactersLeft), "left");
    QTEST(cut.textBegun, "begun");
    QTEST(cut.textWhole, "whole");
}

void TestSendCut::cutLineNamedAndEnded_data()
{
    QTest::addColumn<bool>("sendAgain"); // Send pressed again while line 2 leaves
    QTest::addColumn<bool>("lineError"); // a parity error first, which waits for line 2
    QTest::addColumn<Close>("close");
    QTest::addColumn<QStringList>("shown"); // the boxes, in order

    const QString save = QStringLiteral("Will you save this data?");
    const QString midLine = QStringLiteral("The port was closed in the middle of a line.");
    const QString parity = QStringLiteral("Communication Error 1009 !");
    const QString gone = QStringLiteral("Communication Error 1011 !");
    QTest::newRow("Send again, device gone")
        << true << false << Close::DeviceGone << QStringList {gone};
    QTest::newRow("File > End cancelled")
        << false << false << Close::EndCancelled << QStringList {save, midLine};
    QTest::newRow("Send again, File > End cancelled")
        << true << false << Close::EndCancelled << QStringList {save, midLine};
    QTest::newRow("line error waiting, device gone: both told")
        << false << true << Close::DeviceGone << QStringList {parity, gone};
    QTest::newRow("line error waiting, unplugged, back under its link: both told")
        << false << true << Close::UnpluggedAndBack << QStringList {parity, gone};
    QTest::newRow("line error waiting, File > End cancelled: told after the question")
        << false << true << Close::EndCancelled << QStringList {save, parity};
    QTest::newRow("Send again, line error waiting, device gone: both told")
        << true << true << Close::DeviceGone << QStringList {parity, gone};
}

void TestSendCut::cutLineNamedAndEnded()
{
    QFETCH(bool, sendAgain);
    QFETCH(bool, lineError);
    QFETCH(Close, close);
    QFETCH(QStringList, shown);

    m_rig = std::make_unique<WindowOnPty>();
    PtyDevice back; // the device once it is back
    QVERIFY(m_rig->isValid() && back.isValid());
    // Port 1 is a link to the device, as udev's names and socat's are.
    const QString link = m_rig->settingsFolder() + QStringLiteral("/ttyLink");
    QVERIFY(QFile::link(m_rig->device().slavePath(), link));
    qputenv("KAVREL_COM1", QFile::encodeName(link));
    // A wait of 0.1 s: line 1 is read before line 2 goes.
    QVERIFY(WindowOnPty::choose(form().Term[0]) && WindowOnPty::choose(form().Wait[1]));
    QVERIFY(WindowOnPty::choose(form().BPS[7])); // 28800 baud: a waiting error is let go soon
    QVERIFY(m_rig->start());
    QByteArray line2;
    for (int k = 0; k < 60005; ++k)
        line2 += char('a' + k % 26);
    form().RichTextBox1->setText(QStringLiteral("L1\r\n") + QString::fromLatin1(line2)
                                 + QStringLiteral("\r\nL3"));
    form().Command1->click();
    PtyDevice &device = m_rig->device();
    QByteArray got = device.read(4, 5000);
    // Line 2 in flight: some of it taken by the kernel, which holds some 20 KB for a device that
    // reads nothing, and the rest waiting in the port.
    QTRY_VERIFY_WITH_TIMEOUT(form().SendLine == QStringLiteral("L3\r\n")
                                 && form().MSComm1->OutBufferCount() < line2.size(),
                             10000);
    QVERIFY(form().MSComm1->OutBufferCount() > 0);

    ModalAnswerer answerer;
    if (sendAgain) {
        form().Command1->click();
        QCOMPARE(form().SendLine, QStringLiteral("L1\r\n"));
    }
    if (lineError)
        form().MSComm1->raiseEventForTesting(MSComm::comEventRxParity);
    QVERIFY(m_rig->portOpenAsShown());
    for (qsizetype k = 0; k < shown.size(); ++k)
        answerer.answerMessage(k == 0 && close == Close::EndCancelled ? QMessageBox::Cancel
                                                                      : QMessageBox::Ok);
    if (close == Close::DeviceGone) {
        form().MSComm1->raiseEventForTesting(MSComm::comEventDeviceGone);
    } else if (close == Close::UnpluggedAndBack) {
        device.closeMaster();
    } else {
        QCOMPARE(runFromEventLoop(form(), [this] { form().mEnd->trigger(); }), Outcome::Returned);
    }
    QVERIFY(answerer.waitAllAnswered(30000));
    QStringList texts;
    for (const ShownDialog &box : answerer.shown())
        texts << box.text;
    QCOMPARE(texts, shown);
    QVERIFY(m_rig->portClosedAsShown());
    QVERIFY(form().Timer1->isActive() && form().RichTextBox1->Locked());

    // The last box names the cut line, and says whether it goes again; no other box does.
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("^Line 2 of the send pane was cut: (\\d+) of its "
                                            "60005 characters had left\\. (.*)$"),
                             QRegularExpression::MultilineOption)
              .match(answerer.shown().last().informativeText);
    for (qsizetype k = 0; k + 1 < shown.size(); ++k)
        QVERIFY(!answerer.shown().at(k).informativeText.contains(QStringLiteral("Line 2")));
    QVERIFY2(match.hasMatch(), qPrintable(answerer.shown().last().informativeText));
    QCOMPARE(match.captured(2),
             sendAgain ? QStringLiteral("A line end goes before the next line sent, so the "
                                        "device can drop that part.")
                       : QStringLiteral("After Start a line end goes first, so the device can "
                                        "drop that part, and then the whole line."));

    PtyDevice &now = close == Close::UnpluggedAndBack ? back : device;
    if (close == Close::UnpluggedAndBack) {
        QVERIFY(QFile::remove(link) && QFile::link(back.slavePath(), link));
    } else {
        // Before Start the device has line 1 and exactly the part of line 2 the message names.
        const qsizetype left = match.captured(1).toInt();
        QVERIFY2(left > 0 && left < line2.size(), qPrintable(QString::number(left)));
        got += device.read(int(4 + left - got.size()), 10000);
        got += device.readNow();
        QCOMPARE(got, "L1\r\n" + line2.left(left));
    }

    // After Start a line end ends the part the device holds, then the transmission goes on:
    // from line 2 again, or from line 1 where Send started it over.
    QVERIFY(m_rig->start());
    const QByteArray rest = "\r\n" + QByteArray(sendAgain ? "L1\r\n" : "") + line2 + "\r\nL3\r\n";
    QByteArray after = now.read(int(rest.size()), 30000);
    after += now.read(-1, 300); // nothing more
    QCOMPARE(after, rest);
    QTRY_VERIFY_WITH_TIMEOUT(!form().Timer1->isActive(), 10000);
    QVERIFY(!form().RichTextBox1->Locked());
    form().ClosePort(); // while the device it opened is still there
}

QTEST_MAIN(TestSendCut)
#include "tst_send_cut.moc"
