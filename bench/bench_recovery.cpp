// Recovery files benchmark: what keeping the panes safe costs the window.
//   bench_recovery                   every figure below, each run in a process of its own
//   bench_recovery receive N on|off [edits]
//                                    a device writes N lines as fast as the kernel takes them;
//                                    off: the panes' changes are not handed to the set; edits:
//                                    the send pane is edited every 2 ms meanwhile, so its file
//                                    is rewritten (compacted) during the run
//   bench_recovery slow N RATE [off] N lines at RATE a second (a slow logger)
//   bench_recovery restore N [K]     a left-behind set of N lines, answered Yes at start; its
//                                    file K times the pane's text (edits that removed the rest)
#include "app/Form1.h"
#include "panes/RichTextBox.h"
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
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QTextDocument>
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

int receive(int lines, bool on, int rate, bool edits = false)
{
    QTemporaryDir dir;
    overrideSettingsFolder(dir.path());
    PtyDevice pty;
    qputenv("KAVREL_COM1", pty.slavePath().toLocal8Bit());
    Form1 form;
    if (!on) {
        QObject::disconnect(form.RichTextBox2, &LinePane::edited, &form, nullptr);
        QObject::disconnect(form.RichTextBox1->document(), &QTextDocument::contentsChange, &form,
                            nullptr);
    }
    form.show();
    // Pasting 4 KiB at the top of a 4 KiB send pane while its end is cut away: edits only, so its
    // file grows past twice its text and 512 KiB a few times a second and is rewritten.
    int rewrites = 0;
    QTimer editor;
    if (edits) {
        form.RichTextBox1->setText(QString(4096, u'x'));
        QObject::connect(form.recoverySet(), &RecoverySet::rewriteDue, &form,
                         [&](RecoveryPane pane) { rewrites += pane == RecoveryPane::Send; });
        editor.callOnTimeout(&form, [&] {
            QTextCursor cursor(form.RichTextBox1->document());
            cursor.insertText(QStringLiteral("MEAS? 12.345\n").repeated(320));
            const int end = form.RichTextBox1->document()->characterCount() - 1;
            cursor.setPosition(end - 13 * 320);
            cursor.setPosition(end, QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        });
        editor.start(2);
    }
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
    editor.stop();
    writer.join();
    const double syncsPerSecond = form.recoverySet()->syncCount() / seconds;
    form.recoverySet()->syncNow();
    const double onDisk = folderBytes(".received");
    // The lines are ASCII: the pane's text as a file holds it, CR LF and all, byte for byte.
    const double paneBytes = double(pane->lines().size());
    std::printf("  %d lines%s%s, recovery %s: %.2f s, peak memory %.0f MB, longest stall %.1f ms, "
                "on disk %.2f bytes a line (the pane's text %.2f: %+.1f%%), %.2f syncs a second",
                lines, rate > 0 ? qPrintable(QStringLiteral(" at %1 a second").arg(rate)) : "",
                edits ? ", send pane edited" : "", on ? "on" : "off", seconds, peakKb / 1024.0,
                meter.longestMs(), onDisk / lines, paneBytes / lines,
                on ? 100.0 * (onDisk - paneBytes) / paneBytes : 0.0, syncsPerSecond);
    if (edits && on)
        std::printf(", %d rewrites of the send pane", rewrites);
    std::printf("\n");
    form.ClosePort();
    return 0;
}

int restore(int lines, int times)
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
        qint64 length = 0; // in the pane's positions: a CR LF counts as one
        for (int round = 0; round < times; ++round) {
            if (round > 0)
                received.write(recoveryEdit(RecoveryPane::Received, 0, length, QStringView()));
            length = 0;
            QString batch;
            for (int i = 0; i < lines; ++i) {
                batch += QStringLiteral("12.345,OK,12:00:00,%1\r\n").arg(i + 1);
                if (batch.size() > 65536 || i + 1 == lines) {
                    received.write(recoveryAppend(batch));
                    length += recoveryStoreLength(batch);
                    batch.clear();
                }
            }
        }
    }
    const qint64 fileBytes = QFileInfo(RecoverySet::folder()
                                       + QStringLiteral("/kavrel-1-00000000deadbeef.received"))
                                 .size();
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
    const double seconds = meter.seconds();
    std::printf("  restoring a %d-line set (file %.0f MB, %d times the pane's text) at start: "
                "%.2f s until the pane holds it (the question answered at once), longest stall "
                "%.0f ms, peak memory %.0f MB\n",
                lines, fileBytes / 1e6, times, seconds, meter.longestMs(),
                processStatusKb("VmHWM") / 1024.0);
    return 0;
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(u' ', 0, 2)
                                          : QStringLiteral("unknown");
}

// Runs the figure in a process of its own, passes on what it prints, and returns its seconds
// and its longest stall.
std::pair<double, double> runOne(const QStringList &run)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), run);
    child.waitForFinished(-1);
    const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
    std::printf("%s", qPrintable(out));
    std::fflush(stdout);
    const auto number = [&](const QString &pattern) {
        return QRegularExpression(pattern).match(out).captured(1).toDouble();
    };
    return {number(QStringLiteral(": ([0-9.]+) s,")),
            number(QStringLiteral("longest stall ([0-9.]+) ms"))};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// Recovery off and on in turns, so a change in the machine's load falls on both alike.
void compare(const QStringList &extra, int rounds)
{
    std::vector<double> off;
    std::vector<double> on;
    double stall = 0;
    for (int round = 0; round < rounds; ++round) {
        off.push_back(runOne(QStringList {"receive", "1000000", "off"} + extra).first);
        const auto [seconds, longest] = runOne(QStringList {"receive", "1000000", "on"} + extra);
        on.push_back(seconds);
        stall = std::max(stall, longest);
    }
    std::printf("  median of %d: off %.2f s, on %.2f s: recovery costs %+.1f%%, longest stall "
                "with it %.1f ms\n",
                rounds, median(off), median(on), 100.0 * (median(on) / median(off) - 1.0), stall);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        std::printf("recovery: the received pane with its recovery files and without (load "
                    "average %s)\n",
                    qPrintable(loadAverage()));
        std::fflush(stdout);
        compare({}, 3);
        compare({QStringLiteral("edits")}, 3);
        const QList<QStringList> runs = {{"slow", "60000", "1000", "off"},
                                         {"slow", "60000", "1000"},
                                         {"restore", "1000000"},
                                         {"restore", "1000000", "4"}};
        for (const QStringList &run : runs)
            runOne(run);
        std::printf("  load average at the end %s\n", qPrintable(loadAverage()));
        return 0;
    }
    const int n = args.value(1).toInt();
    int status = 2;
    if (args[0] == QLatin1String("receive") && n > 0)
        status = receive(n, args.value(2) != QLatin1String("off"), 0,
                         args.value(3) == QLatin1String("edits"));
    else if (args[0] == QLatin1String("slow") && n > 0)
        status = receive(n, args.value(3) != QLatin1String("off"), args.value(2).toInt());
    else if (args[0] == QLatin1String("restore") && n > 0)
        status = restore(n, std::max(1, args.value(2).toInt()));
    else
        std::fprintf(stderr, "usage: bench_recovery [receive N on|off [edits] | slow N RATE [off] | restore N [K]]\n");
    std::fflush(stdout);
    return status;
}
