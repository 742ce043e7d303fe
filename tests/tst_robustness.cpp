// Whatever a device sends (every byte value, broken UTF-8, characters the pane treats
// specially, a megabyte without a CR) lands as text at the end of the received pane and
// never disturbs what the pane already held.
#include "app/Form1.h"
#include "panes/lines/LinePane.h"
#include "panes/RichTextBox.h"
#include "panes/TextDecoder.h"
#include "tests/support/WindowOnPty.h"

#include <QAction>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>

#include <memory>
#include <tuple>

namespace {

// What the pane held before the device spoke: typed text and received lines.
const QString earlier = QStringLiteral("typed by hand, Grüße €\r\n"
                                       "12.5,1\r\n"
                                       "13.0<AK>,2\r\n");

QByteArray repeated(const QByteArray &unit, qsizetype totalBytes)
{
    return unit.repeated(totalBytes / unit.size());
}

} // namespace

class TestRobustness : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void everyByteValue();
    void brokenUtf8_data();
    void brokenUtf8();
    void charactersThePaneTreatsSpecially_data();
    void charactersThePaneTreatsSpecially();
    void megabyteWithoutCr_data();
    void megabyteWithoutCr();
    void randomNoise();

private:
    Form1 &form() const { return m_rig->form(); }
    void send(const QByteArray &bytes) { QVERIFY(m_rig->device().write(bytes)); }
    // Sends one byte at a time, each taken by the port before the next: a character then
    // arrives split over several reads.
    void sendByteByByte(const QByteArray &bytes);
    QString paneText() const { return form().RichTextBox2->Text(); }
    // The pane still begins with what it held before, and ends with the expected lines.
    void verifyPane(const QString &received);

    std::unique_ptr<WindowOnPty> m_rig;
};

void TestRobustness::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestRobustness::init()
{
    m_rig = std::make_unique<WindowOnPty>(WindowOnPty::Shown);
    QVERIFY(m_rig->isValid());
    form().RichTextBox2->setText(earlier.first(earlier.indexOf(u'\n') + 1));
    QVERIFY(WindowOnPty::choose(form().mSeq));
    QVERIFY(m_rig->start());
    send("12.5\r\n13.0\x06\r\n");
    QTRY_COMPARE(paneText(), earlier);
}

void TestRobustness::cleanup()
{
    const QString left = WindowOnPty::endOfTest(m_rig);
    QVERIFY2(left.isEmpty(), qPrintable(left));
}

void TestRobustness::sendByteByByte(const QByteArray &bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        QVERIFY2(
            m_rig->device().writeAndWaitTaken(bytes.sliced(i, 1)),
            qPrintable(QStringLiteral("byte %1 of %2 not taken").arg(i + 1).arg(bytes.size())));
    }
}

void TestRobustness::verifyPane(const QString &received)
{
    QTRY_COMPARE_WITH_TIMEOUT(paneText().size(), earlier.size() + received.size(), 30000);
    const QString text = paneText();
    QCOMPARE(text.first(earlier.size()), earlier);
    QCOMPARE(text.sliced(earlier.size()), received);
}

void TestRobustness::everyByteValue()
{
    QByteArray all;
    for (int value = 0; value < 256; ++value)
        all += char(value);
    send(all + '\r');

    // CR (13) ends the first line, LF (10) is dropped, ACK (6) shows as <AK>, ESC (27) takes
    // the character after it, and no byte from 128 up begins a valid character here: each is
    // the Latin-1 character of its value.
    QString first;
    for (char16_t c : {0, 1, 2, 3, 4, 5})
        first += QChar(c);
    first += QStringLiteral("<AK>");
    for (char16_t c : {7, 8, 9, 11, 12})
        first += QChar(c);
    QString second;
    for (char16_t c = 14; c < 27; ++c)
        second += QChar(c);
    for (char16_t c = 29; c < 128; ++c)
        second += QChar(c);
    for (char16_t c = 128; c < 256; ++c)
        second += QChar(c);
    verifyPane(first + QStringLiteral(",3\r\n") + second + QStringLiteral(",4\r\n"));
    QCOMPARE(form().RcvLine, QString());
    QCOMPARE(form().EscFlag, Form1::False);

    // The line is open to the next reading as usual.
    send("14.0\r\n");
    QTRY_VERIFY(paneText().endsWith(QStringLiteral(",4\r\n14.0,5\r\n")));
}

void TestRobustness::brokenUtf8_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("byteByByte");

    // Valid UTF-8 is decoded; every other byte is the Latin-1 character of its value.
    const QList<std::tuple<const char *, QByteArray, QString>> samples = {
        {"Latin-1 degree and micro",
         "25\xB0"
         "C 3\xB5m",
         QStringLiteral("25\u00B0C 3\u00B5m")},
        {"lone continuation bytes",
         "a\x80\xBF"
         "b",
         QStringLiteral("a\u0080\u00BFb")},
        {"overlong slash",
         "a\xC0\xAF"
         "b",
         QStringLiteral("a\u00C0\u00AFb")},
        {"overlong NUL",
         "a\xE0\x80\x80"
         "b",
         QStringLiteral("a\u00E0\u0080\u0080b")},
        {"surrogate half",
         "a\xED\xA0\x80"
         "b",
         QStringLiteral("a\u00ED\u00A0\u0080b")},
        {"beyond U+10FFFF",
         "a\xF4\x90\x80\x80"
         "b",
         QStringLiteral("a\u00F4\u0090\u0080\u0080b")},
        {"five- and six-byte forms",
         "a\xF8\x88\x80\x80\x80\xFC\x84\x80\x80\x80\x80"
         "b",
         QString::fromLatin1("a\xF8\x88\x80\x80\x80\xFC\x84\x80\x80\x80\x80"
                             "b")},
        {"FE and FF",
         "a\xFE\xFF"
         "b",
         QStringLiteral("a\u00FE\u00FFb")},
        {"truncated before the CR", "a\xE2\x82", QStringLiteral("a\u00E2\u0082")},
        {"truncated, then ASCII",
         "a\xF0\x9F\x98"
         "bc",
         QStringLiteral("a\u00F0\u009F\u0098bc")},
        {"lead byte after lead byte",
         "a\xC3\xC3\xA9"
         "b",
         QStringLiteral("a\u00C3\u00E9b")},
        {"valid two-, three- and four-byte characters", "\xC2\xB0\xE2\x82\xAC\xF0\x9F\x98\x80",
         QStringLiteral("\u00B0\u20AC\U0001F600")},
        {"byte order mark",
         "\xEF\xBB\xBF"
         "a",
         QStringLiteral("\uFEFFa")},
    };
    for (const auto &[name, bytes, expected] : samples) {
        QTest::addRow("%s, at once", name) << bytes << expected << false;
        QTest::addRow("%s, byte by byte", name) << bytes << expected << true;
    }
}

void TestRobustness::brokenUtf8()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QFETCH(bool, byteByByte);

    // However the bytes are split between reads, they read as the whole of them decoded at once.
    QCOMPARE(decodeText(bytes), expected);
    for (qsizetype cut = 1; cut < bytes.size(); ++cut) {
        TextDecoder decoder;
        QString text;
        decoder.decode(bytes.first(cut), text);
        decoder.decode(bytes.sliced(cut), text);
        decoder.finish(text);
        QCOMPARE(text, expected);
    }

    if (byteByByte)
        sendByteByByte(bytes + '\r');
    else
        send(bytes + '\r');
    verifyPane(expected + QStringLiteral(",3\r\n"));

    send("after\r");
    QTRY_VERIFY(paneText().endsWith(QStringLiteral(",3\r\nafter,4\r\n")));
}

void TestRobustness::charactersThePaneTreatsSpecially_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("NUL") << QByteArray("a\0b", 3) << QStringLiteral("a\0b,3\r\n");
    // The document would take these as the edges of a frame or as an embedded object.
    QTest::newRow("frame marks and object replacement")
        << QByteArray("a\xEF\xB7\x90"
                      "b\xEF\xB7\x91"
                      "c\xEF\xBF\xBC"
                      "d")
        << QStringLiteral("a\uFFFDb\uFFFDc\uFFFDd,3\r\n");
    // Only CR ends a line: what a text widget would break at stays inside it, the stamp after.
    QTest::newRow("paragraph separator") << QByteArray("a\xE2\x80\xA9"
                                                       "b")
                                         << QStringLiteral("a\u2029b,3\r\n");
    QTest::newRow("line separator") << QByteArray("a\xE2\x80\xA8"
                                                  "b")
                                    << QStringLiteral("a\u2028b,3\r\n");
    QTest::newRow("next line, as UTF-8 and as a Latin-1 byte")
        << QByteArray("a\xC2\x85"
                      "b\x85"
                      "c")
        << QStringLiteral("a\u0085b\u0085c,3\r\n");
    QTest::newRow("tabulation, form feed, file separator")
        << QByteArray("a\x0B\x0C\x1C"
                      "b")
        << QStringLiteral("a\u000B\u000C\u001Cb,3\r\n");
    QTest::newRow("right-to-left override") << QByteArray("a\xE2\x80\xAE"
                                                          "bc")
                                            << QStringLiteral("a\u202Ebc,3\r\n");
}

void TestRobustness::charactersThePaneTreatsSpecially()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);

    send(bytes + '\r');
    verifyPane(expected);
    send("after\r");
    QTRY_VERIFY(paneText().endsWith(QStringLiteral("after,4\r\n")));
    QVERIFY(paneText().startsWith(earlier));
    QCOMPARE(form().RichTextBox2->lineCount(), paneText().count(QStringLiteral("\r\n")) + 1);
    // Saved, each character is the one the device sent.
    const QString path = m_rig->settingsFolder() + QStringLiteral("/received.txt");
    QVERIFY(form().RichTextBox2->SaveFile(path));
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), paneText().toUtf8());
}

void TestRobustness::megabyteWithoutCr_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    constexpr qsizetype megabyte = 1024 * 1024;
    const QByteArray digits = repeated("0123456789", megabyte);
    QTest::newRow("ASCII") << digits << QString::fromLatin1(digits);
    // Three- and four-byte characters straddle the port's read slices.
    const QByteArray euros = repeated("\xE2\x82\xAC", megabyte);
    QTest::newRow("three-byte characters") << euros << QString(euros.size() / 3, QChar(0x20AC));
    const QByteArray clefs = repeated("\xF0\x9D\x84\x9E", megabyte);
    QTest::newRow("four-byte characters")
        << clefs << QStringLiteral("\U0001D11E").repeated(clefs.size() / 4);
    const QByteArray invalid(megabyte, '\xFF');
    QTest::newRow("invalid bytes") << invalid << QString(megabyte, QChar(0xFF));
}

void TestRobustness::megabyteWithoutCr()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);

    send(bytes);
    // Every 65,536 characters complete a line, stamped as a CR would have it; what is left
    // waits as the line being received, and nothing is dropped.
    constexpr qsizetype limit = 65536;
    QString lines;
    qsizetype at = 0;
    int number = 3;
    for (; expected.size() - at >= limit; at += limit)
        lines += expected.sliced(at, limit) + QStringLiteral(",%1\r\n").arg(number++);
    verifyPane(lines);
    // The last character may wait for a byte that could still complete it.
    QTRY_VERIFY_WITH_TIMEOUT(form().RcvLine.size() >= expected.size() - at - 2, 30000);
    QVERIFY(expected.sliced(at).startsWith(form().RcvLine));

    // A CR right after the limit ended a line is that line's end: it ends nothing more.
    send("\r\n");
    const bool ended = at == expected.size();
    const int last = ended ? number - 1 : number;
    verifyPane(lines
               + (ended ? QString() : expected.sliced(at) + QStringLiteral(",%1\r\n").arg(number)));
    QCOMPARE(form().RichTextBox2->property("lineCount").toInt(), 4 + (last - 3) + 1);
    send("after\r");
    QTRY_VERIFY(paneText().endsWith(QStringLiteral(",%1\r\nafter,%2\r\n").arg(last).arg(last + 1)));
    QCOMPARE(form().RcvLine, QString());
}

void TestRobustness::randomNoise()
{
    // Line noise: random bytes, CRs among them, and then a line that must still arrive intact.
    QRandomGenerator random(20240611);
    QByteArray noise(256 * 1024, '\0');
    for (char &byte : noise)
        byte = char(random.bounded(256));
    send(noise);
    send("\x06\r\nend\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(
        paneText().endsWith(QStringLiteral("end,") + QString::number(form().SeqNo) + "\r\n"),
        30000);
    QVERIFY(paneText().startsWith(earlier));
    // Every CR that no ESC took completed one numbered line.
    int lines = 0;
    bool escaped = false;
    for (const char byte : noise + "\x06\r\nend\r\n") {
        if (!escaped && byte == '\r')
            ++lines;
        escaped = !escaped && byte == '\x1b';
    }
    QCOMPARE(form().SeqNo, 2 + lines);
}

QTEST_MAIN(TestRobustness)
#include "tst_robustness.moc"
