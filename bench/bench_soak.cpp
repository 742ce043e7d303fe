// Soak benchmark: Kavrel on the simulated instrument's port for a long stretch, sending its
// send pane over and over while numbered readings stream in, with Time and Seq. No. checked.
// Every line is accounted for at the end: each reading the instrument sent and each echo of a
// line Kavrel sent must be in the received pane, in order.
//   bench_soak [seconds] [interval-ms]
//     seconds: default KAVREL_SOAK_SECONDS, else 600; interval between readings: default 1
#include "app/Form1.h"
#include "panes/lines/LinePane.h"
#include "panes/RichTextBox.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"
#include "tests/support/ProcessStatus.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <functional>
#include <malloc.h>
#include <optional>
#include <string>

namespace {

constexpr int defaultSeconds = 600;
constexpr int drainMilliseconds = 60000;

int soakSeconds(int argc, char *argv[])
{
    bool valid = false;
    int seconds = argc > 1 ? QByteArray(argv[1]).toInt(&valid) : 0;
    if (!valid)
        seconds = qEnvironmentVariableIntValue("KAVREL_SOAK_SECONDS", &valid);
    return valid && seconds > 0 ? seconds : defaultSeconds;
}

// Runs events until the condition holds or the time is up.
bool waitUntil(const std::function<bool()> &condition, int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The send pane: lines unlike any reading, so their echoes are told apart.
QStringList sendPaneLines()
{
    QStringList lines;
    for (int i = 1; i <= 20; ++i)
        lines << QStringLiteral("SET %1 channel=%2 gain=%3 Grüße")
                     .arg(i, 2, 10, QChar(u'0'))
                     .arg(i % 4)
                     .arg(i * 1.25, 0, 'f', 2);
    return lines;
}

// Goes through the received pane's completed lines as they come, each stamped
// "<text>,HH:MM:SS,<seq>": a reading "[HH:MM:SS,]12.5,<n>[<AK>]" or an echo of a sent line.
class Ledger
{
public:
    explicit Ledger(QStringList sent) : m_sent(std::move(sent)) { }

    void scan(const LineStore &received)
    {
        // The last line is the empty one after the final CR LF.
        for (const qint64 complete = received.lineCount() - 1; m_scanned < complete; ++m_scanned)
            take(received.lineText(m_scanned));
    }

    qint64 lines = 0;
    qint64 readings = 0;
    qint64 echoes = 0;
    qint64 firstReading = 0;
    qint64 lastReading = 0;
    qint64 readingGaps = 0; // readings missing between two received ones
    qint64 echoesOutOfOrder = 0;
    qint64 numberingFaults = 0; // Seq. No. not one more than the line before
    qint64 malformed = 0;
    QString firstMalformed;

private:
    void take(const QString &line)
    {
        ++lines;
        static const QRegularExpression stamps(QStringLiteral(",\\d\\d:\\d\\d:\\d\\d,(\\d+)$"));
        static const QRegularExpression reading(
            QStringLiteral("^(?:\\d\\d:\\d\\d:\\d\\d,)?1\\d\\.\\d,(\\d+)(?:<AK>)?$"));
        const QRegularExpressionMatch stamped = stamps.match(line);
        if (!stamped.hasMatch()) {
            noteMalformed(line);
            return;
        }
        if (stamped.captured(1).toLongLong() != lines)
            ++numberingFaults;
        const QString text = line.first(stamped.capturedStart());

        if (text == m_sent.at(echoes % m_sent.size())) {
            ++echoes;
            return;
        }
        if (m_sent.contains(text)) {
            ++echoes;
            ++echoesOutOfOrder;
            return;
        }
        const QRegularExpressionMatch match = reading.match(text);
        if (!match.hasMatch()) {
            noteMalformed(line);
            return;
        }
        const qint64 number = match.captured(1).toLongLong();
        if (readings == 0)
            firstReading = number;
        else if (number != lastReading + 1)
            readingGaps += std::max<qint64>(1, number - lastReading - 1);
        lastReading = number;
        ++readings;
    }

    void noteMalformed(const QString &line)
    {
        if (malformed++ == 0)
            firstMalformed = line.left(120);
    }

    QStringList m_sent;
    qint64 m_scanned = 0;
};

struct Simulator
{
    QProcess process;
    QString path;
    std::optional<qint64> readingsSent; // from its "readings N" after SIGUSR1

    bool start(const QString &interval)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(KAVREL_SIM_PATH),
                      {QStringLiteral("--interval"), interval, QStringLiteral("--numbered")});
        if (!process.waitForStarted())
            return false;
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            while (process.canReadLine()) {
                const QString line = QString::fromLocal8Bit(process.readLine()).trimmed();
                if (path.isEmpty())
                    path = line;
                else if (line.startsWith(QLatin1String("readings ")))
                    readingsSent = line.sliced(9).toLongLong();
            }
        });
        return waitUntil([this] { return !path.isEmpty(); }, 5000);
    }

    void stopReadings() { ::kill(pid_t(process.processId()), SIGUSR1); }

    ~Simulator()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int seconds = soakSeconds(argc, argv);
    const QString interval = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("1");

    std::printf("soak: %d s, the simulated instrument sending a numbered reading every %s ms, "
                "Kavrel sending its 20-line send pane over and over (wait 0.0, CR/LF), Time and "
                "Seq. No. checked\n",
                seconds, qPrintable(interval));
    std::fflush(stdout);

    QTemporaryDir dir;
    overrideSettingsFolder(dir.path());
    Simulator sim;
    if (!sim.start(interval)) {
        std::fprintf(stderr, "the simulated instrument did not start (%s)\n", KAVREL_SIM_PATH);
        return 1;
    }
    qputenv("KAVREL_COM1", sim.path.toLocal8Bit());

    const QStringList paneLines = sendPaneLines();
    Form1 form;
    form.mTime->setChecked(true);
    form.mSeq->setChecked(true);
    form.RichTextBox1->setText(paneLines.join(QStringLiteral("\r\n")));
    form.show();
    QCoreApplication::processEvents();

    // A box would mean the port failed: note what it said and end the run.
    QString boxText;
    const auto noBox = [&] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            if (boxText.isEmpty())
                boxText = modal->property("text").toString();
            modal->close();
        }
        return boxText.isEmpty();
    };
    QTimer boxWatch;
    QObject::connect(&boxWatch, &QTimer::timeout, &form, [&] { noBox(); });
    boxWatch.start(50);

    form.Command1->click(); // Start
    if (!form.MSComm1->PortOpen()) {
        std::fprintf(stderr, "port 1 (%s) did not open: %s\n", qPrintable(sim.path),
                     qPrintable(boxText));
        return 1;
    }
    const long startKb = processStatusKb("VmRSS");

    Ledger ledger(paneLines);
    const LineStore &received = form.RichTextBox2->lines();
    // Takes the lines that have reached the pane; false once a box has shown.
    const auto keepGoing = [&] {
        ledger.scan(received);
        return noBox();
    };

    // The longest stretch the event loop was away: gaps between ticks of a 1 ms timer.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, &form, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
    });
    ticker.start(1);

    // Send again whenever a transmission has ended, until the time is up.
    qint64 passes = 0;
    long nextReport = 60;
    const qint64 endNs = qint64(seconds) * 1000000000;
    const bool ranToTheEnd = waitUntil(
        [&] {
            if (!keepGoing() || !form.MSComm1->PortOpen())
                return true;
            if (!form.Timer1->isActive()) {
                if (clock.nsecsElapsed() >= endNs)
                    return true;
                ++passes;
                form.Command1->click(); // Send
            }
            if (clock.elapsed() / 1000 >= nextReport) {
                std::printf("  %3ld s: %lld lines received, resident %.1f MB\n", nextReport,
                            static_cast<long long>(ledger.lines),
                            processStatusKb("VmRSS") / 1024.0);
                std::fflush(stdout);
                nextReport += 60;
            }
            return false;
        },
        seconds * 1000 + drainMilliseconds);
    const double sendingSeconds = clock.nsecsElapsed() / 1e9;
    const qint64 linesSent = passes * paneLines.size();

    // Everything Kavrel sent is on the line and echoed back; then the instrument stops its
    // readings and says how many there were, and they all arrive.
    bool drained = ranToTheEnd && keepGoing() && form.MSComm1->PortOpen()
        && waitUntil([&] { return form.MSComm1->OutBufferCount() == 0; }, drainMilliseconds)
        && waitUntil([&] { return !keepGoing() || ledger.echoes >= linesSent; }, drainMilliseconds);
    sim.stopReadings();
    drained
        = waitUntil([&] { return !keepGoing() || sim.readingsSent.has_value(); }, drainMilliseconds)
        && waitUntil([&] { return !keepGoing() || ledger.lastReading >= *sim.readingsSent; },
                     drainMilliseconds)
        && drained;
    ticker.stop();
    ledger.scan(received);
    const long endKb = processStatusKb("VmRSS");
    const long peakKb = processStatusKb("VmHWM");
    form.ClosePort();
    // The lines go with the received pane; what stays once it is empty and free memory has
    // been handed back is what the run kept elsewhere.
    form.RichTextBox2->setText(QString());
    ::malloc_trim(0);
    const long clearedKb = processStatusKb("VmRSS");

    const qint64 readingsSent = sim.readingsSent.value_or(0);
    // Readings before the first one received were sent before the port opened.
    const qint64 readingsExpected
        = ledger.readings > 0 ? readingsSent - ledger.firstReading + 1 : readingsSent;
    const qint64 readingsLost = readingsExpected - ledger.readings;
    const qint64 echoesLost = linesSent - ledger.echoes;
    const qint64 lost = readingsLost + echoesLost;

    std::printf("  sent: %lld lines in %lld passes of the send pane over %.1f s\n",
                static_cast<long long>(linesSent), static_cast<long long>(passes), sendingSeconds);
    std::printf("  received: %lld lines: %lld readings (numbers %lld to %lld; the instrument "
                "sent %lld) and %lld echoes\n",
                static_cast<long long>(ledger.lines), static_cast<long long>(ledger.readings),
                static_cast<long long>(ledger.firstReading),
                static_cast<long long>(ledger.lastReading), static_cast<long long>(readingsSent),
                static_cast<long long>(ledger.echoes));
    std::printf("  lines lost: %lld (readings %lld, echoes %lld); readings missing between "
                "others %lld, echoes out of order %lld, Seq. No. faults %lld, malformed %lld\n",
                static_cast<long long>(lost), static_cast<long long>(readingsLost),
                static_cast<long long>(echoesLost), static_cast<long long>(ledger.readingGaps),
                static_cast<long long>(ledger.echoesOutOfOrder),
                static_cast<long long>(ledger.numberingFaults),
                static_cast<long long>(ledger.malformed));
    if (ledger.malformed > 0)
        std::printf("    first malformed line: %s\n", qPrintable(ledger.firstMalformed));
    std::printf("  resident memory: %.1f MB at the start, %.1f MB at the end (peak %.1f MB), "
                "%.1f KB more per 1,000 received lines\n",
                startKb / 1024.0, endKb / 1024.0, peakKb / 1024.0,
                ledger.lines > 0 ? double(endKb - startKb) * 1000.0 / double(ledger.lines) : 0.0);
    std::printf("  resident memory after clearing the received pane: %.1f MB\n",
                clearedKb / 1024.0);
    std::printf("  longest event-loop stall: %.1f ms\n", longestGap / 1e6);
    if (!boxText.isEmpty())
        std::printf("  the window showed a box: %s\n", qPrintable(boxText));
    std::fflush(stdout);

    const bool sound = drained && boxText.isEmpty() && lost == 0 && ledger.readingGaps == 0
        && ledger.echoesOutOfOrder == 0 && ledger.numberingFaults == 0 && ledger.malformed == 0
        && readingsSent > 0 && linesSent > 0;
    if (!sound)
        std::printf("  SOAK FAILED\n");
    return sound ? 0 : 1;
}
