// Whatever a device sends (every byte value, broken UTF-8, characters the pane treats
// specially, a megabyte without a CR) lands as text at the end of the received pane and
// never disturbs what the pane already held.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"
#include "tests/support/PtyDevice.h"

#include <QAction>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

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
    void send(const QByteArray &bytes) { QVERIFY(m_device->write(bytes)); }
    // Sends one byte at a time, each taken by the port before the next: a character then
    // arrives split over several reads.
    void sendByteByByte(const QByteArray &bytes);
    int unreadOnTheLine() const;
    QString paneText() const { return m_form->RichTextBox2->Text(); }
    // The pane still begins with what it held before, and ends with the expected lines.
    void verifyPane(const QString &received);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PtyDevice> m_device;
    std::unique_ptr<Form1> m_form;
    int m_slave = -1; // our own descriptor on the line, to see what is still unread
};

void TestRobustness::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestRobustness::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    overrideSettingsFolder(m_dir->path());
    m_device = std::make_unique<PtyDevice>();
    QVERIFY(m_device->isValid());
    qputenv("KAVREL_COM1", m_device->slavePath().toLocal8Bit());
    m_slave = ::open(m_device->slavePath().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY);
    QVERIFY(m_slave >= 0);

    m_form = std::make_unique<Form1>();
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    m_form->RichTextBox2->setText(earlier.first(earlier.indexOf(u'\n') + 1));
    m_form->mSeq->setChecked(true);
    m_form->OpenPort();
    QVERIFY(m_form->MSComm1->PortOpen());
    send("12.5\r\n13.0\x06\r\n");
    QTRY_COMPARE(paneText(), earlier);
}

void TestRobustness::cleanup()
{
    if (m_form)
        m_form->ClosePort();
    m_form.reset();
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
    m_device.reset();
    qunsetenv("KAVREL_COM1");
    m_dir.reset();
}

int TestRobustness::unreadOnTheLine() const
{
    int unread = -1;
    ::ioctl(m_slave, FIONREAD, &unread);
    return unread;
}

void TestRobustness::sendByteByByte(const QByteArray &bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        send(bytes.sliced(i, 1));
        // As long as the pane's own wait below: a shared machine can be slow to schedule us.
        QTRY_VERIFY2_WITH_TIMEOUT(
            unreadOnTheLine() == 0,
            qPrintable(QStringLiteral("byte %1 of %2 still unread").arg(i + 1).arg(bytes.size())),
            30000);
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
    // the character after it, and no byte from 128 up begins a valid character.
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
    second += QString(128, QChar::ReplacementCharacter);
    verifyPane(first + QStringLiteral(",3\r\n") + second + QStringLiteral(",4\r\n"));
    QCOMPARE(m_form->RcvLine, QString());
    QCOMPARE(m_form->EscFlag, False);

    // The line is open to the next reading as usual.
    send("14.0\r\n");
    QTRY_VERIFY(paneText().endsWith(QStringLiteral(",4\r\n14.0,5\r\n")));
}

void TestRobustness::brokenUtf8_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("byteByByte");

    const QList<std::pair<const char *, QByteArray>> samples = {
        {"lone continuation bytes",
         QByteArray("a\x80\xBF"
                    "b")},
        {"overlong slash",
         QByteArray("a\xC0\xAF"
                    "b")},
        {"overlong NUL",
         QByteArray("a\xE0\x80\x80"
                    "b")},
        {"surrogate half",
         QByteArray("a\xED\xA0\x80"
                    "b")},
        {"beyond U+10FFFF",
         QByteArray("a\xF4\x90\x80\x80"
                    "b")},
        {"five- and six-byte forms",
         QByteArray("a\xF8\x88\x80\x80\x80\xFC\x84\x80\x80\x80\x80"
                    "b")},
        {"FE and FF",
         QByteArray("a\xFE\xFF"
                    "b")},
        {"truncated before the CR", QByteArray("a\xE2\x82")},
        {"truncated, then ASCII",
         QByteArray("a\xF0\x9F\x98"
                    "bc")},
        {"lead byte after lead byte",
         QByteArray("a\xC3\xC3\xA9"
                    "b")},
        {"valid four-byte character",
         QByteArray("a\xF0\x9F\x98\x80"
                    "b")},
        {"byte order mark",
         QByteArray("\xEF\xBB\xBF"
                    "a")},
    };
    for (const auto &[name, bytes] : samples) {
        QTest::addRow("%s, at once", name) << bytes << false;
        QTest::addRow("%s, byte by byte", name) << bytes << true;
    }
}

void TestRobustness::brokenUtf8()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, byteByByte);

    if (byteByByte)
        sendByteByByte(bytes + '\r');
    else
        send(bytes + '\r');
    // However the bytes were split between reads, the line reads as the whole of them
    // decoded at once: every broken sequence shows as U+FFFD, nothing vanishes.
    const QString decoded = QString::fromUtf8(bytes);
    verifyPane(decoded + QStringLiteral(",3\r\n"));
    QVERIFY(decoded.contains(u'a'));

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
    // A paragraph separator breaks the line in the pane as a CR LF does.
    QTest::newRow("paragraph separator") << QByteArray("a\xE2\x80\xA9"
                                                       "b")
                                         << QStringLiteral("a\r\nb,3\r\n");
    QTest::newRow("line separator") << QByteArray("a\xE2\x80\xA8"
                                                  "b")
                                    << QStringLiteral("a\u2028b,3\r\n");
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
    QTest::newRow("invalid bytes") << invalid << QString(megabyte, QChar::ReplacementCharacter);
}

void TestRobustness::megabyteWithoutCr()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);

    send(bytes);
    // Held as the line being received (the last character may wait for a byte that could
    // still complete it); the pane is left alone until the CR comes.
    QTRY_VERIFY_WITH_TIMEOUT(m_form->RcvLine.size() >= expected.size() - 2, 60000);
    QVERIFY(expected.startsWith(m_form->RcvLine));
    QCOMPARE(paneText(), earlier);

    send("\r\n");
    verifyPane(expected + QStringLiteral(",3\r\n"));
    QCOMPARE(m_form->RichTextBox2->property("lineCount").toInt(), 5);
    send("after\r");
    QTRY_VERIFY(paneText().endsWith(QStringLiteral(",3\r\nafter,4\r\n")));
    QCOMPARE(m_form->RcvLine, QString());
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
        paneText().endsWith(QStringLiteral("end,") + QString::number(m_form->SeqNo) + "\r\n"),
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
    QCOMPARE(m_form->SeqNo, 2 + lines);
}

QTEST_MAIN(TestRobustness)
#include "tst_robustness.moc"
