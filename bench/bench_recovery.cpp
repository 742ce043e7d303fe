// Recovery files benchmark: what keeping the panes safe costs the window.
//   bench_recovery                   every figure below, each run in a process of its own
//   bench_recovery receive N on|off  a device writes N lines as fast as the kernel takes them;
//                                    off: the received pane's changes are not handed to the set
//   bench_recovery slow N RATE [off] N lines at RATE a second (a slow logger)
//   bench_recovery restore N         a left-behind set of N lines, answered Yes at start
#include "app/Form1.h"
#include "panes/lines/LinePane.h"
#include "recovery/RecoveryRecords.h"
#include "recovery/RecoverySet.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/ProcessStatus.h"
#include "tests/support/PtyDevice.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

// The longest stretch the event loop was away: gaps between ticks of a 1 ms timer.
struct StallMeter
{
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    QTimer ticker;
    explicit StallMeter(QObject *context)
    {
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, context, [this] {
            const qint64 now = clock.nsecsElapsed();
            longest = std::max(longest, now - last);
            last = now;
        });
        clock.start();
        ticker.start();
    }
    double seconds() const { return clock.nsecsElapsed() / 1e9; }
    double longestMs() const { return longest / 1e6; }
};

qint64 folderBytes(const char *suffix)
{
    qint64 total = 0;
    const QDir folder(RecoverySet::folder());
    for (const QFileInfo &file : folder.entryInfoList({QStringLiteral("kavrel-*") + QLatin1String(suffix)}))
        total += file.size();
    return total;
}

// Writes the lines into the pty from a thread of its own: all at once, or `rate` a second.
void feed(const PtyDevice &pty, const QByteArray &line, int lines, int rate)
{
    const auto start = std::chrono::steady_clock::now();
    QByteArray data;
    for (int i = 0; i < lines;) {
        const int due = rate > 0 ? std::min<int>(lines, int(std::chrono::duration<double>(
                                                               std::chrono::steady_clock::now() - start)
                                                               .count() * rate) + 1)
                                 : lines;
        data.clear();
        for (; i < due; ++i)
            data += line;
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(pty.masterFd(), data.constData() + done,
                                      size_t(std::min<qsizetype>(data.size() - done, 65536)));
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p {pty.masterFd(), POLLOUT, 0};
                ::poll(&p, 1, 100);
            } else if (n < 0 && errno != EINTR) {
                return;
            }
        }
        if (rate > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int receive(int lines, bool on, int rate)
{
    QTemporaryDir dir;
    overrideSettingsFolder(dir.path());
    PtyDevice pty;
    qputenv("KAVREL_COM1", pty.slavePath().toLocal8Bit());
    Form1 form;
    if (!on)
        QObject::disconnect(form.RichTextBox2, &LinePane::edited, &form, nullptr);
    form.show();
    QApplication::processEvents();
    form.OpenPort();
    if (!form.MSComm1->PortOpen()) {
        std::fprintf(stderr, "could not open %s\n", qPrintable(pty.slavePath()));
        return 1;
    }
    const LinePane *pane = form.RichTextBox2;
    QEventLoop loop;
    QObject::connect(pane, &LinePane::Change, &form, [&] {
        if (pane->lineCount() - 1 >= lines)
            loop.quit();
    });
    StallMeter meter(&form);
    std::thread writer([&] { feed(pty, "12.345,OK\r\n", lines, rate); });
    loop.exec();
    const double seconds = meter.seconds();
    const long peakKb = processStatusKb("VmHWM");
    writer.join();
    const double syncsPerSecond = form.recoverySet()->syncCount() / seconds;
    form.recoverySet()->syncNow();
    const double onDisk = folderBytes(".received");
    // The lines are ASCII: the pane's text as a file holds it, CR LF and all, byte for byte.
    const double paneBytes = double(pane->lines().size());
    std::printf("  %d lines%s, recovery %s: %.2f s, peak memory %.0f MB, longest stall %.1f ms, "
                "on disk %.2f bytes a line (the pane's text %.2f: %+.1f%%), %.2f syncs a second\n",
                lines, rate > 0 ? qPrintable(QStringLiteral(" at %1 a second").arg(rate)) : "",
                on ? "on" : "off", seconds, peakKb / 1024.0, meter.longestMs(),
                onDisk / lines, paneBytes / lines,
                on ? 100.0 * (onDisk - paneBytes) / paneBytes : 0.0, syncsPerSecond);
    form.ClosePort();
    return 0;
}

int restore(int lines)
{
    QTemporaryDir dir;
    overrideSettingsFolder(dir.path());
    {
        // A set left by a window that was killed: its lock is free.
        QDir().mkpath(RecoverySet::folder());
        const QString base = RecoverySet::folder() + QStringLiteral("/kavrel-1-00000000deadbeef");
        QFile lock(base + QStringLiteral(".lock"));
        QFile received(base + QStringLiteral(".received"));
        if (!lock.open(QIODevice::WriteOnly) || !received.open(QIODevice::WriteOnly))
            return 1;
        received.write(recoveryHeader(RecoveryPane::Received));
        QString batch;
        for (int i = 0; i < lines; ++i) {
            batch += QStringLiteral("12.345,OK,12:00:00,%1\r\n").arg(i + 1);
            if (batch.size() > 65536 || i + 1 == lines) {
                received.write(recoveryAppend(batch));
                batch.clear();
            }
        }
    }
    Form1 form;
    ModalAnswerer answers;
    answers.answerMessage(QMessageBox::Yes);
    StallMeter meter(&form);
    form.show();
    QEventLoop loop;
    QObject::connect(form.RichTextBox2, &LinePane::Change, &form, [&] {
        if (form.RichTextBox2->lineCount() - 1 >= lines)
            loop.quit();
    });
    loop.exec();
    std::printf("  restoring a %d-line set at start: %.2f s until the pane holds it (the question "
                "answered at once), longest stall %.0f ms\n",
                lines, meter.seconds(), meter.longestMs());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        std::printf("recovery: the received pane with its recovery files and without\n");
        std::fflush(stdout);
        const QList<QStringList> runs = {{"receive", "1000000", "off"},
                                         {"receive", "1000000", "on"},
                                         {"slow", "60000", "1000", "off"},
                                         {"slow", "60000", "1000"},
                                         {"restore", "1000000"}};
        int status = 0;
        for (const QStringList &run : runs)
            status |= QProcess::execute(QCoreApplication::applicationFilePath(), run);
        return status;
    }
    const int n = args.value(1).toInt();
    int status = 2;
    if (args[0] == QLatin1String("receive") && n > 0)
        status = receive(n, args.value(2) != QLatin1String("off"), 0);
    else if (args[0] == QLatin1String("slow") && n > 0)
        status = receive(n, args.value(3) != QLatin1String("off"), args.value(2).toInt());
    else if (args[0] == QLatin1String("restore") && n > 0)
        status = restore(n);
    else
        std::fprintf(stderr, "usage: bench_recovery [receive N on|off | slow N RATE [off] | restore N]\n");
    std::fflush(stdout);
    return status;
}
