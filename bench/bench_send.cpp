// Sending figures: a slow line (when the pane unlocks against when the device has read it all),
// how late each line leaves against its due time, and what a line costs to prepare at the top
// and at the bottom of a very long send pane.
//   bench_send [lines] [long-pane-lines]     defaults: 200 and 100000
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "send/SendText.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"
#include "tests/support/PtyDevice.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace {

// Reads the master end on a thread of its own, noting the moment each chunk arrived, so the
// window's event loop is not what times its own lines. With a rate, it reads no faster than
// that many bytes a second, as a device behind a slow wire takes them.
class MasterReader
{
public:
    explicit MasterReader(int fd, double bytesPerSecond = 0)
        : m_fd(fd), m_rate(bytesPerSecond), m_thread([this] { run(); })
    { }
    ~MasterReader() { stop(); }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    long long received() const { return m_total.load(); }
    // When the byte at this offset was seen (seconds on pacingClock()); only after stop().
    double arrivalOf(long long offset) const
    {
        const auto it = std::upper_bound(
            m_chunks.cbegin(), m_chunks.cend(), offset,
            [](long long value, const Chunk &chunk) { return value < chunk.end; });
        return it == m_chunks.cend() ? NAN : it->seen;
    }

private:
    struct Chunk
    {
        double seen;
        long long end; // bytes received up to the end of this chunk
    };

    void run()
    {
        const double start = pacingClock();
        std::vector<char> buffer(1 << 16);
        while (!m_stop) {
            pollfd p {m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const double seen = pacingClock();
            long long allowed = (long long)buffer.size();
            if (m_rate > 0) {
                allowed = std::min(allowed, (long long)((seen - start) * m_rate) - m_total);
                if (allowed <= 0) {
                    ::usleep(5000);
                    continue;
                }
            }
            const ssize_t n = ::read(m_fd, buffer.data(), size_t(allowed));
            if (n <= 0)
                continue;
            m_chunks.push_back({seen, m_total.load() + n});
            m_total += n;
        }
    }

    int m_fd;
    double m_rate;
    std::atomic<bool> m_stop {false};
    std::atomic<long long> m_total {0};
    std::vector<Chunk> m_chunks;
    std::thread m_thread;
};

// Runs the event loop until the condition holds or the time is up.
bool runUntil(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer poll;
    QDeadlineTimer deadline(timeoutMs);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || deadline.hasExpired())
            loop.quit();
    });
    poll.start(50);
    loop.exec();
    return done();
}

std::unique_ptr<Form1> openWindow(const PtyDevice &pty, int waitItem)
{
    qputenv("KAVREL_COM1", pty.slavePath().toLocal8Bit());
    auto form = std::make_unique<Form1>();
    form->LoadSettings();
    form->Port[0]->trigger();
    form->Term[0]->trigger();
    form->Wait[std::size_t(waitItem)]->trigger();
    form->show();
    QCoreApplication::processEvents();
    form->Command1->click();
    if (!form->MSComm1->PortOpen()) {
        std::fprintf(stderr, "bench_send: the pty %s did not open\n", qPrintable(pty.slavePath()));
        return nullptr;
    }
    return form;
}

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double> &sorted, double p)
{
    const auto rank = std::size_t(std::ceil(p / 100.0 * double(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

bool pacing(int waitItem, int lineCount)
{
    PtyDevice pty;
    auto form = openWindow(pty, waitItem);
    if (!form)
        return false;
    const double wait = C_Val(form->Wait[std::size_t(waitItem)]->text());

    constexpr int lineLength = 20; // CR LF makes 22 bytes
    QStringList lines;
    for (int k = 0; k < lineCount; ++k)
        lines << QStringLiteral("%1").arg(k, lineLength, 10, QLatin1Char('0'));
    form->RichTextBox1->setText(lines.join(QStringLiteral("\r\n")));
    const long long total = (lineLength + 2) * (long long)lineCount;

    MasterReader reader(pty.masterFd());
    form->Command1->click();
    const double sent = form->NextSendTime;
    const bool done
        = runUntil([&] { return !form->Timer1->isActive() && reader.received() >= total; },
                   int(lineCount * (wait + 0.05) * 1000) + 10000);
    reader.stop();
    form->Command2->click();
    if (!done) {
        std::fprintf(stderr, "bench_send: only %lld of %lld bytes arrived\n", reader.received(),
                     total);
        return false;
    }

    std::vector<double> lateMs;
    for (int k = 0; k < lineCount; ++k) {
        const double due = sent + k * wait;
        lateMs.push_back((reader.arrivalOf((lineLength + 2) * (long long)k) - due) * 1000.0);
    }
    if (qEnvironmentVariableIsSet("BENCH_SEND_DUMP")) {
        for (int k = 0; k < lineCount; ++k)
            std::printf("%d %.3f\n", k, lateMs[std::size_t(k)]);
    }
    std::sort(lateMs.begin(), lateMs.end());
    std::printf("pacing  wait %.1f s, %d lines: first byte late by median %.2f ms, "
                "p99 %.2f ms, max %.2f ms (min %.2f ms)\n",
                wait, lineCount, percentile(lateMs, 50), percentile(lateMs, 99), lateMs.back(),
                lateMs.front());
    return true;
}

// A device at 9600 baud (960 bytes a second) that reads as the wire delivers, wait 0.0: the
// pane unlocks once the last line has left the port, so the reader is then behind by no more
// than what the pseudo-terminal itself holds.
bool slowLine(int lineCount, int lineLength, double bytesPerSecond)
{
    PtyDevice pty;
    auto form = openWindow(pty, 0);
    if (!form)
        return false;
    QStringList lines;
    for (int k = 0; k < lineCount; ++k)
        lines << QStringLiteral("%1").arg(k, lineLength, 10, QLatin1Char('0'));
    form->RichTextBox1->setText(lines.join(QStringLiteral("\r\n")));
    const long long total = (lineLength + 2) * (long long)lineCount;

    MasterReader reader(pty.masterFd(), bytesPerSecond);
    double unlocked = 0;
    long long unreadAtUnlock = -1;
    QObject::connect(form->RichTextBox1, &RichTextBox::lockedChanged, form.get(), [&](bool locked) {
        if (locked)
            return;
        unlocked = pacingClock();
        unreadAtUnlock = total - reader.received();
    });
    const double pressed = pacingClock();
    form->Command1->click();
    const bool done = runUntil([&] { return unreadAtUnlock >= 0 && reader.received() >= total; },
                               int(total / bytesPerSecond * 1000) + 30000);
    reader.stop();
    form->Command2->click();
    if (!done) {
        std::fprintf(stderr, "bench_send: slow line: %lld of %lld bytes read\n", reader.received(),
                     total);
        return false;
    }
    std::printf("slow    %d lines of %d characters at %.0f bytes/s, wait 0.0: Send to unlock "
                "%.2f s, to the last byte read %.2f s; unread when the pane unlocked: %lld "
                "bytes\n",
                lineCount, lineLength, bytesPerSecond, unlocked - pressed,
                reader.arrivalOf(total - 1) - pressed, unreadAtUnlock);
    return true;
}

// Average microseconds of PrepareNextLine over `count` lines from the given pane position.
double preparationCost(Form1 &form, int position, int count, const QString &lastExpected,
                       bool &correct)
{
    form.RichTextBox1->setSelStart(position);
    form.RichTextBox1->setSelLength(0);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i)
        form.PrepareNextLine();
    const double us = double(timer.nsecsElapsed()) / 1000.0 / count;
    correct = correct && form.SendLine == lastExpected + QStringLiteral("\r\n");
    return us;
}

bool scale(int lineCount)
{
    PtyDevice pty;
    auto form = openWindow(pty, 0);
    if (!form)
        return false;

    const auto lineText = [](int k) {
        return QStringLiteral("line %1 of the pane").arg(k, 6, 10, QLatin1Char('0'));
    };
    const int lineLength = int(lineText(0).size());
    QString text;
    text.reserve(qsizetype(lineCount) * (lineLength + 2));
    for (int k = 0; k < lineCount; ++k) {
        if (k)
            text += QLatin1String("\r\n");
        text += lineText(k);
    }
    QElapsedTimer loading;
    loading.start();
    form->RichTextBox1->setText(text);
    QCoreApplication::processEvents();
    const double loadMs = double(loading.nsecsElapsed()) / 1e6;

    MasterReader reader(pty.masterFd());
    const double pressed = pacingClock();
    form->Command1->click();
    const bool arrived = runUntil([&] { return reader.received() > 0; }, 10000);
    reader.stop();
    form->Command2->click();
    if (!arrived) {
        std::fprintf(stderr, "bench_send: nothing arrived from the long pane\n");
        return false;
    }
    const double firstByteMs = (reader.arrivalOf(0) - pressed) * 1000.0;

    // Alternate top and bottom a few times; the median of the rounds is printed.
    constexpr int count = 1000;
    const int bottomLine = lineCount - count;
    const int bottomPosition = bottomLine * (lineLength + 2);
    std::vector<double> top, bottom;
    bool correct = true;
    for (int round = 0; round < 5; ++round) {
        top.push_back(preparationCost(*form, 0, count, lineText(count - 1), correct));
        bottom.push_back(
            preparationCost(*form, bottomPosition, count, lineText(lineCount - 1), correct));
    }
    std::sort(top.begin(), top.end());
    std::sort(bottom.begin(), bottom.end());
    std::printf("scale   %d-line pane: loaded in %.0f ms; Send to first byte %.2f ms\n", lineCount,
                loadMs, firstByteMs);
    std::printf("scale   PrepareNextLine per line: lines 1-%d %.2f us, lines %d-%d %.2f us "
                "(median of 5 rounds of %d)%s\n",
                count, top[top.size() / 2], bottomLine + 1, lineCount, bottom[bottom.size() / 2],
                count, correct ? "" : "  WRONG LINES PREPARED");
    return correct;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int lines = args.size() > 1 ? args.at(1).toInt() : 200;
    const int longPane = args.size() > 2 ? args.at(2).toInt() : 100000;
    if (lines < 1 || longPane < 2000) {
        std::fprintf(stderr, "usage: bench_send [lines >= 1] [long-pane-lines >= 2000]\n");
        return 2;
    }

    QTemporaryDir settings;
    if (!settings.isValid())
        return 1;
    overrideSettingsFolder(settings.path());

    bool ok = slowLine(200, 60, 960);
    ok = pacing(1, lines) && ok;
    ok = pacing(0, lines) && ok;
    ok = scale(longPane) && ok;
    return ok ? 0 : 1;
}
