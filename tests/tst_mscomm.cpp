// The serial port component over a real pseudo-terminal: settings on the line, opening
// failures, one OnComm per received character, output, buffers and a vanishing device.
#include "serial/MSComm.h"
#include "serial/SerialPorts.h"
#include "tests/support/FakeDeviceTree.h"
#include "tests/support/PtyDevice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int portNumber = 8;

// Everything OnComm reported, checked as the receive path relies on it.
struct Recorder
{
    QList<std::int16_t> codes;
    QString text; // every Input, joined
    int characters = 0;
    int badReads = 0; // an Input that was not one character, or a second read not ""
    int depth = 0;
    int deepest = 0;
    int drained = 0;
    int largestSlice = 0; // most characters between two inputDrained
    int slice = 0;
    std::function<void(const QString &)> onCharacter;
    std::function<void(std::int16_t)> onEvent;

    void attach(MSComm &comm)
    {
        QObject::connect(&comm, &MSComm::OnComm, &comm, [this, &comm] { event(comm); });
        QObject::connect(&comm, &MSComm::inputDrained, &comm, [this] {
            ++drained;
            largestSlice = qMax(largestSlice, slice);
            slice = 0;
        });
    }

    void event(MSComm &comm)
    {
        ++depth;
        deepest = qMax(deepest, depth);
        const std::int16_t code = comm.CommEvent();
        codes.append(code);
        if (code == MSComm::comEvReceive) {
            const QString c = comm.Input();
            const bool pair
                = c.size() == 2 && c.at(0).isHighSurrogate() && c.at(1).isLowSurrogate();
            if ((c.size() != 1 && !pair) || !comm.Input().isEmpty())
                ++badReads;
            text += c;
            ++characters;
            ++slice;
            if (onCharacter)
                onCharacter(c);
        } else if (onEvent) {
            onEvent(code);
        }
        --depth;
    }

    qsizetype count(std::int16_t code) const { return codes.count(code); }
};

bool openOn(MSComm &comm, const PtyDevice &pty, const QString &settings = QStringLiteral("9600N81"))
{
    qputenv("KAVREL_COM8", pty.slavePath().toLocal8Bit());
    comm.setCommPort(portNumber);
    comm.setSettings(settings);
    return comm.setPortOpen(true);
}

QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(' ' + i % 95);
    return bytes;
}

} // namespace

class TestMSComm : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void settingsReachTheLine_data();
    void settingsReachTheLine();
    void unusableSettingsAreRefused_data();
    void unusableSettingsAreRefused();
    void portNumbersName_data();
    void portNumbersName();
    void missingDeviceFails();
    void deniedDeviceFails();
    void secondOpenIsBusy_data();
    void secondOpenIsBusy();
    void oneEventPerCharacter_data();
    void oneEventPerCharacter();
    void characterSplitBetweenReads_data();
    void characterSplitBetweenReads();
    void outputReachesTheLine_data();
    void outputReachesTheLine();
    void slowReaderLosesNothing();
    void emptyingOutputDropsOnlyUnsent();
    void emptyingInputDropsUnread();
    void closingDropsPendingOutputAndInput();
    void vanishedDeviceReportedOnce_data();
    void vanishedDeviceReportedOnce();
    void handlerRunningEventsKeepsOrder();
};

void TestMSComm::cleanup()
{
    for (int port = 1; port <= 8; ++port)
        qunsetenv(QByteArray("KAVREL_COM" + QByteArray::number(port)).constData());
}

void TestMSComm::settingsReachTheLine_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("speed");
    QTest::addColumn<bool>("twoStopBits");
    QTest::newRow("9600N81") << "9600N81" << 9600 << false;
    QTest::newRow("2400E71, the default") << "2400E71" << 2400 << false;
    QTest::newRow("600N82") << "600N82" << 600 << true;
    QTest::newRow("14400 is not a standard rate") << "14400N81" << 14400 << false;
    QTest::newRow("28800 is not a standard rate") << "28800O81" << 28800 << false;
    QTest::newRow("28800 with two stop bits") << "28800E72" << 28800 << true;
    QTest::newRow("19200 mark parity") << "19200M81" << 19200 << false;
    QTest::newRow("1.5 stop bits after 5 data bits") << "4800N51.5" << 4800 << true;
}

void TestMSComm::settingsReachTheLine()
{
    QFETCH(QString, settings);
    QFETCH(int, speed);
    QFETCH(bool, twoStopBits);
    PtyDevice pty;
    QVERIFY(pty.isValid());
    MSComm comm;
    QVERIFY2(openOn(comm, pty, settings), qPrintable(comm.errorString()));
    QVERIFY(comm.PortOpen());
    QCOMPARE(pty.slaveSpeed(), speed);
    QCOMPARE(pty.twoStopBits(), twoStopBits);
    QVERIFY(comm.setPortOpen(false));
    QVERIFY(!comm.PortOpen());
    QVERIFY(comm.setPortOpen(false));
}

void TestMSComm::unusableSettingsAreRefused_data()
{
    // Every kind of settings string is read in tst_linesettings; here, that the component
    // refuses the opening with that reason and is left ready for the next.
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not settings") << "9600,N,8,1"
                                  << "are not valid";
    QTest::newRow("zero baud") << "0N81"
                               << "no usable baud rate";
    QTest::newRow("1.5 stop bits, 8 data bits") << "9600N81.5"
                                                << "1.5 stop bits";
}

void TestMSComm::unusableSettingsAreRefused()
{
    QFETCH(QString, settings);
    QFETCH(QString, reason);
    PtyDevice pty;
    MSComm comm;
    QVERIFY(!openOn(comm, pty, settings));
    QVERIFY(!comm.PortOpen());
    QVERIFY2(comm.errorString().contains(reason), qPrintable(comm.errorString()));
    QVERIFY(comm.errorString().contains(u'"' + settings + u'"'));
    QVERIFY(!comm.permissionDenied());
    // Nothing of the refused attempt is left holding the port.
    comm.setSettings(QStringLiteral("9600N81"));
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));
    QVERIFY(comm.errorString().isEmpty());
}

void TestMSComm::portNumbersName_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("path"); // "dev/...": in the device tree
    QTest::newRow("port 1, nothing set: the USB device") << 1 << QByteArray() << "dev/ttyACM0";
    QTest::newRow("port 2, nothing set: the UART") << 2 << QByteArray() << "dev/ttyS0";
    QTest::newRow("port 3, nothing set: no device") << 3 << QByteArray() << "";
    QTest::newRow("port 1 set") << 1 << QByteArray("/dev/ttyUSB0") << "/dev/ttyUSB0";
    QTest::newRow("port 3 set") << 3 << QByteArray("/tmp/some pty") << "/tmp/some pty";
    QTest::newRow("port 2 set empty") << 2 << QByteArray("") << "dev/ttyS0";
}

void TestMSComm::portNumbersName()
{
    QFETCH(int, port);
    QFETCH(QByteArray, variable);
    QFETCH(QString, path);
    FakeDeviceTree tree;
    QVERIFY(tree.isValid() && tree.add({.name = "ttyS0", .uartType = 4})
            && tree.add({.name = "ttyS1", .uartType = 0}) && tree.add({.name = "ttyACM0"}));
    if (!variable.isNull())
        qputenv(QByteArray("KAVREL_COM" + QByteArray::number(port)).constData(), variable);
    // Another port's variable never applies.
    qputenv(QByteArray("KAVREL_COM" + QByteArray::number(port + 1)).constData(), "/dev/null");
    QCOMPARE(portDevice(port, listSerialDevices()).path,
             path.startsWith(u"dev/") ? tree.path(path) : path);
}

void TestMSComm::missingDeviceFails()
{
    qputenv("KAVREL_COM6", "/nonexistent-kavrel/ttyUSB9");
    MSComm comm;
    comm.setCommPort(6);
    QVERIFY(!comm.setPortOpen(true));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.devicePath(), QStringLiteral("/nonexistent-kavrel/ttyUSB9"));
    QCOMPARE(comm.errorString(), QString::fromLocal8Bit(std::strerror(ENOENT)));
    QVERIFY(!comm.permissionDenied());
    QVERIFY(!comm.portBusy());

    comm.setCommPort(0);
    QVERIFY(!comm.setPortOpen(true));
    QVERIFY(comm.errorString().contains(u"port 0"));
}

void TestMSComm::deniedDeviceFails()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ttyLocked"));
    QFile device(path);
    QVERIFY(device.open(QIODevice::WriteOnly));
    device.close();
    QVERIFY(device.setPermissions({}));
    // The folder is open to all, so what is refused is the device itself.
    QVERIFY(QFile::setPermissions(dir.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup
                                      | QFile::ExeGroup));
    qputenv("KAVREL_COM5", path.toLocal8Bit());

    // Root opens anything: the attempt is made by a child that has given up root.
    int results[2];
    QVERIFY(::pipe(results) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::close(results[0]);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(2);
        // Some build roots are closed to other users altogether: nothing to learn there.
        if (::access(QFile::encodeName(dir.path()).constData(), X_OK) != 0)
            ::_exit(4);
        MSComm comm;
        comm.setCommPort(5);
        const bool opened = comm.setPortOpen(true);
        const QByteArray report = QByteArray(opened ? "opened" : "refused") + '\n'
            + (comm.permissionDenied() ? "denied" : "other") + '\n'
            + comm.devicePath().toLocal8Bit() + '\n' + comm.errorString().toLocal8Bit();
        const bool written
            = ::write(results[1], report.constData(), report.size()) == report.size();
        ::_exit(written ? 0 : 3);
    }
    ::close(results[1]);
    QByteArray report;
    char buffer[512];
    for (ssize_t n; (n = ::read(results[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, n);
    ::close(results[0]);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    if (WEXITSTATUS(status) == 4)
        QSKIP("An unprivileged user cannot reach the temporary folder on this machine.");
    QCOMPARE(WEXITSTATUS(status), 0);
    const QList<QByteArray> lines = report.split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(0), QByteArray("refused"));
    QCOMPARE(lines.at(1), QByteArray("denied"));
    QCOMPARE(QString::fromLocal8Bit(lines.at(2)), path);
    QCOMPARE(QString::fromLocal8Bit(lines.at(3)), QString::fromLocal8Bit(std::strerror(EACCES)));
}

void TestMSComm::secondOpenIsBusy_data()
{
    QTest::addColumn<bool>("otherProgram");
    QTest::newRow("open in Kavrel") << false;
    QTest::newRow("locked by another terminal program") << true;
}

void TestMSComm::secondOpenIsBusy()
{
    QFETCH(bool, otherProgram);
    PtyDevice pty;
    MSComm first;
    Recorder received;
    received.attach(first);
    int other = -1;
    if (otherProgram) {
        // Terminal programs that take no lock file hold an flock on the device instead.
        other = ::open(pty.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(other >= 0);
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
    } else {
        QVERIFY(openOn(first, pty));
    }
    MSComm second;
    QVERIFY(!openOn(second, pty));
    QVERIFY(!second.PortOpen());
    QVERIFY(second.portBusy());
    QVERIFY(!second.permissionDenied());
    QVERIFY2(second.errorString().contains(u"busy"), qPrintable(second.errorString()));
    QCOMPARE(second.devicePath(), pty.slavePath());

    if (otherProgram) {
        ::close(other);
    } else {
        // The first opener keeps its line.
        QVERIFY(pty.write("ok"));
        QTRY_COMPARE(received.text, QStringLiteral("ok"));
        QVERIFY(first.setPortOpen(false));
    }
    // Once the other side lets go, the port opens.
    QVERIFY2(second.setPortOpen(true), qPrintable(second.errorString()));
    QVERIFY(!second.portBusy());
}

void TestMSComm::oneEventPerCharacter_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    const QByteArray ascii = pattern(10000);
    QTest::newRow("10,000 bytes at once") << ascii << QString::fromLatin1(ascii);
    QString mixed;
    for (int i = 0; i < 700; ++i)
        mixed += QStringLiteral("Grüße € \U0001D11E %1\r\n").arg(i);
    QTest::newRow("non-ASCII and a non-BMP character") << mixed.toUtf8() << mixed;
    const QByteArray large = pattern(2 * 1024 * 1024);
    QTest::newRow("2 MB at once") << large << QString::fromLatin1(large);
}

void TestMSComm::oneEventPerCharacter()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    PtyDevice pty;
    MSComm comm;
    Recorder received;
    received.attach(comm);
    QVERIFY(openOn(comm, pty));
    QVERIFY(pty.write(bytes));
    QTRY_COMPARE_WITH_TIMEOUT(received.text.size(), expected.size(), 60000);
    QCOMPARE(received.text, expected);
    QCOMPARE(received.badReads, 0);
    QCOMPARE(received.count(MSComm::comEvReceive), received.codes.size());
    QCOMPARE(received.characters, expected.toUcs4().size());
    QCOMPARE(received.deepest, 1);
    // Delivered in slices, each closed by inputDrained, so the window gets its turn.
    QTRY_COMPARE(received.slice, 0);
    QVERIFY(received.drained >= 1);
    QVERIFY2(received.largestSlice <= 64 * 1024,
             qPrintable(QString::number(received.largestSlice)));
    QCOMPARE(comm.InBufferCount(), 0);
}

void TestMSComm::characterSplitBetweenReads_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QString>("expected");
    QTest::newRow("euro sign split 2+1") << QByteArray("A\xE2\x82")
                                         << QByteArray("\xAC"
                                                       "B")
                                         << QStringLiteral("A€B");
    QTest::newRow("non-BMP split 1+3")
        << QByteArray("A\xF0") << QByteArray("\x9D\x84\x9E!") << QStringLiteral("A\U0001D11E!");
    QTest::newRow("non-BMP split 3+1")
        << QByteArray("A\xF0\x9D\x84") << QByteArray("\x9E!") << QStringLiteral("A\U0001D11E!");
    QTest::newRow("unfinished, then ASCII")
        << QByteArray("A\xE2\x82") << QByteArray("BC") << QStringLiteral("A\u00E2\u0082BC");
    QTest::newRow("unfinished, then a whole character")
        << QByteArray("A\xE2\x82") << QByteArray("\xE2\x82\xAC")
        << QStringLiteral("A\u00E2\u0082€");
    QTest::newRow("unfinished, then an invalid byte") << QByteArray("A\xC3")
                                                      << QByteArray("\xFF"
                                                                    "B")
                                                      << QStringLiteral("A\u00C3\u00FFB");
    QTest::newRow("invalid bytes inside a read")
        << QByteArray("a\xFF"
                      "b\x80")
        << QByteArray("\xC3(\xC0\xAF") << QStringLiteral("a\u00FFb\u0080\u00C3(\u00C0\u00AF");
}

void TestMSComm::characterSplitBetweenReads()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QString, expected);
    PtyDevice pty;
    MSComm comm;
    Recorder received;
    received.attach(comm);
    QVERIFY(openOn(comm, pty));
    QVERIFY(pty.write(first));
    // The leading character shows that the first write has been read on its own.
    QTRY_VERIFY(!received.text.isEmpty());
    QVERIFY(pty.write(second));
    QTRY_COMPARE(received.text, expected);
    QCOMPARE(received.badReads, 0);
}

void TestMSComm::outputReachesTheLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("line with CR LF") << "AB\r\n" << QByteArray("AB\r\n");
    QTest::newRow("non-ASCII as UTF-8") << "Grüße €\U0001D11E\r"
                                        << QByteArray("Gr\xC3\xBC\xC3\x9F"
                                                      "e \xE2\x82\xAC"
                                                      "\xF0\x9D\x84\x9E\r");
    QTest::newRow("control characters") << QString::fromLatin1("\x1B"
                                                               "T\x06\x00\x7F",
                                                               5)
                                        << QByteArray("\x1B"
                                                      "T\x06\x00\x7F",
                                                      5);
}

void TestMSComm::outputReachesTheLine()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    PtyDevice pty;
    MSComm comm;
    QVERIFY(openOn(comm, pty, QStringLiteral("2400E71")));
    comm.setOutput(text);
    comm.setOutput(text);
    QCOMPARE(pty.read(int(bytes.size()) * 2), bytes + bytes);
    QTRY_COMPARE(comm.OutBufferCount(), 0);
}

void TestMSComm::slowReaderLosesNothing()
{
    PtyDevice pty;
    MSComm comm;
    QVERIFY(openOn(comm, pty));
    QByteArray sent;
    for (int line = 0; line < 40000; ++line) {
        const QString text = QStringLiteral("line %1 äöü\r\n").arg(line);
        comm.setOutput(text);
        sent += text.toUtf8();
    }
    // setOutput returned at once, while the device has taken only what fits in its queue.
    QVERIFY(comm.OutBufferCount() > sent.size() / 2);
    QByteArray got;
    while (got.size() < sent.size()) {
        const QByteArray piece = pty.read(1000, 10000);
        if (piece.isEmpty())
            break;
        got += piece;
    }
    QCOMPARE(got.size(), sent.size());
    QVERIFY(got == sent);
    QTRY_COMPARE(comm.OutBufferCount(), 0);
}

void TestMSComm::emptyingOutputDropsOnlyUnsent()
{
    PtyDevice pty;
    MSComm comm;
    Recorder received;
    received.attach(comm);
    QVERIFY(openOn(comm, pty));
    const QByteArray large = pattern(1024 * 1024);
    comm.setOutput(QString::fromLatin1(large));
    QVERIFY(pty.write("input"));
    QTRY_COMPARE(received.text, QStringLiteral("input"));
    QVERIFY(comm.OutBufferCount() > 0);

    comm.setOutBufferCount(0);
    QCOMPARE(comm.OutBufferCount(), 0);
    comm.setOutput(QStringLiteral("NEXT\r"));
    QByteArray got;
    QDeadlineTimer deadline(20000);
    while (!got.endsWith("NEXT\r") && !deadline.hasExpired())
        got += pty.read(-1, 50);
    QVERIFY2(got.endsWith("NEXT\r"), "output stopped");
    // What the device had already taken stays whole; the rest is gone, and the line goes on.
    const QByteArray taken = got.chopped(5);
    QVERIFY(taken.size() < large.size());
    QVERIFY(large.startsWith(taken));
    QVERIFY(pty.write("more"));
    QTRY_COMPARE(received.text, QStringLiteral("inputmore"));
}

void TestMSComm::emptyingInputDropsUnread()
{
    MSComm closed;
    closed.setInBufferCount(0);
    QCOMPARE(closed.InBufferCount(), 0);

    PtyDevice pty;
    MSComm comm;
    Recorder received;
    received.attach(comm);
    QList<int> counts;
    // The handler sees what is still waiting, reads it, and on "B" throws the rest away.
    QObject::connect(
        &comm, &MSComm::OnComm, &comm, [&] { counts.append(comm.InBufferCount()); },
        Qt::DirectConnection);
    received.onCharacter = [&](const QString &c) {
        if (c == u"B")
            comm.setInBufferCount(0);
    };
    QVERIFY(openOn(comm, pty));
    QVERIFY(pty.write("ABCDEF"));
    QTRY_COMPARE(received.text, QStringLiteral("AB"));
    QCOMPARE(comm.InBufferCount(), 0);
    QVERIFY(pty.write("Z"));
    QTRY_COMPARE(received.text, QStringLiteral("ABZ"));
    // Each count was taken after the Recorder had read its character.
    QCOMPARE(counts, (QList<int> {5, 0, 0}));
    QCOMPARE(received.badReads, 0);
}

void TestMSComm::closingDropsPendingOutputAndInput()
{
    PtyDevice pty;
    MSComm comm;
    Recorder received;
    received.attach(comm);
    received.onCharacter = [&](const QString &c) {
        if (c == u"A")
            comm.setPortOpen(false);
    };
    QVERIFY(openOn(comm, pty));
    const QByteArray large = pattern(1024 * 1024);
    comm.setOutput(QString::fromLatin1(large));
    QVERIFY(comm.OutBufferCount() > 0);
    QVERIFY(pty.write("ABC"));
    QTRY_VERIFY(!comm.PortOpen());
    QCOMPARE(comm.OutBufferCount(), 0);
    QCOMPARE(comm.InBufferCount(), 0);
    const QByteArray taken = pty.read(-1, 200);
    QVERIFY(taken.size() < large.size());
    QVERIFY(large.startsWith(taken));

    // Reopened, the line starts clean: no old output, none of "BC".
    QVERIFY(comm.setPortOpen(true));
    comm.setOutput(QStringLiteral("NEW"));
    QCOMPARE(pty.read(3), QByteArray("NEW"));
    QVERIFY(pty.write("D"));
    QTRY_COMPARE(received.text, QStringLiteral("AD"));
}

void TestMSComm::vanishedDeviceReportedOnce_data()
{
    QTest::addColumn<bool>("handlerCloses");
    QTest::newRow("handler closes the port") << true;
    QTest::newRow("handler leaves it open") << false;
}

void TestMSComm::vanishedDeviceReportedOnce()
{
    QFETCH(bool, handlerCloses);
    PtyDevice pty;
    MSComm comm;
    Recorder received;
    received.attach(comm);
    std::int16_t afterClose = 0;
    received.onEvent = [&](std::int16_t) {
        if (handlerCloses) {
            comm.setPortOpen(false);
            afterClose = comm.CommEvent();
        }
    };
    QVERIFY(openOn(comm, pty));
    QVERIFY(pty.write("XY\xE2\x82"));
    QTRY_COMPARE(received.text, QStringLiteral("XY"));
    pty.closeMaster();
    QTRY_COMPARE(received.count(MSComm::comEventDeviceGone), 1);
    // No storm: nothing more comes while the port stays as the handler left it.
    QTest::qWait(300);
    QCOMPARE(received.count(MSComm::comEventDeviceGone), 1);
    QCOMPARE(received.codes.last(), MSComm::comEventDeviceGone);
    // The unfinished character the device left is shown, byte by byte, not dropped.
    QCOMPARE(received.text, QStringLiteral("XY\u00E2\u0082"));
    QCOMPARE(comm.PortOpen(), !handlerCloses);
    comm.setOutput(QStringLiteral("lost"));
    QVERIFY(comm.setPortOpen(false));
    QVERIFY(!comm.PortOpen());
    if (handlerCloses)
        QCOMPARE(afterClose, MSComm::comEventDeviceGone);
    QCOMPARE(comm.CommEvent(), MSComm::comEventDeviceGone);
    QCOMPARE(received.deepest, 1);
}

void TestMSComm::handlerRunningEventsKeepsOrder()
{
    PtyDevice pty;
    MSComm comm;
    Recorder received;
    received.attach(comm);
    const QByteArray later = pattern(20000) + "\r";
    const QByteArray first = "12.5\r\n13.0\r\n14.5\r\n";
    // Still to come after the first CR: the rest of the first write and all of the second.
    const qsizetype waiting = first.size() - 5 + later.size();
    bool wrote = false;
    // At the first line end the handler lets events run until more data has come in, as the
    // receive path does before it inserts a line.
    received.onCharacter = [&](const QString &c) {
        if (c != u"\r")
            return;
        if (!wrote) {
            wrote = true;
            QVERIFY(pty.write(later));
            QDeadlineTimer deadline(10000);
            while (comm.InBufferCount() < waiting && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        }
        QCoreApplication::processEvents();
    };
    QVERIFY(openOn(comm, pty));
    QVERIFY(pty.write(first));
    const QString expected = QString::fromLatin1(first + later);
    QTRY_COMPARE_WITH_TIMEOUT(received.text.size(), expected.size(), 20000);
    QCOMPARE(received.text, expected);
    QCOMPARE(received.badReads, 0);
    QCOMPARE(received.deepest, 1);
}

QTEST_GUILESS_MAIN(TestMSComm)
#include "tst_mscomm.moc"
