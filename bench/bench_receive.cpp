// Receive benchmark: a device writes N reading lines into a pty as fast as the kernel takes
// them; Kavrel, with Time and Seq. No. checked, collects them into the received pane.
//   bench_receive [N ...]     (default: 100000 1000000)
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"
#include "tests/support/ProcessStatus.h"
#include "tests/support/PtyDevice.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Result
{
    double seconds = 0;
    double first10k = 0;
    double last10k = 0;
    long peakKb = 0;
    long startKb = 0;
    long endKb = 0;
    double longestStallMs = 0;
    bool inOrder = false;
};

Result run(int lines)
{
    Result result;
    QTemporaryDir dir;
    overrideSettingsFolder(dir.path());

    PtyDevice pty;
    if (!pty.isValid()) {
        std::perror("openpty");
        return result;
    }
    qputenv("KAVREL_COM1", pty.slavePath().toLocal8Bit());

    QByteArray data;
    data.reserve(qsizetype(lines) * 12);
    for (int i = 0; i < lines; ++i)
        data += "12.345,OK\r\n";

    Form1 form;
    form.mTime->setChecked(true);
    form.mSeq->setChecked(true);
    form.show();
    QApplication::processEvents();
    form.OpenPort();
    if (!form.MSComm1->PortOpen()) {
        std::fprintf(stderr, "could not open %s: %s\n", qPrintable(pty.slavePath()),
                     qPrintable(form.MSComm1->errorString()));
        return result;
    }
    QTextDocument *doc = form.RichTextBox2->document();
    result.startKb = processStatusKb("VmRSS");

    // The longest stretch the event loop was away: gaps between ticks of a 1 ms timer.
    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, &form, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
    });

    std::vector<qint64> marks; // nanoseconds at each 10,000th line shown
    QEventLoop loop;
    QObject::connect(form.RichTextBox2, &RichTextBox::Change, &form, [&] {
        const int shown = doc->blockCount() - 1;
        while (int(marks.size()) < shown / 10000)
            marks.push_back(clock.nsecsElapsed());
        if (shown >= lines)
            loop.quit();
    });

    clock.start();
    lastTick = 0;
    ticker.start();
    const int master = pty.masterFd();
    std::thread writer([&] {
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(master, data.constData() + done,
                                      size_t(std::min<qsizetype>(data.size() - done, 65536)));
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno == EAGAIN) {
                // The master does not block: wait until the program has read some.
                pollfd p {master, POLLOUT, 0};
                ::poll(&p, 1, 100);
            } else if (n < 0 && errno != EINTR) {
                break;
            }
        }
    });
    loop.exec();
    result.seconds = clock.nsecsElapsed() / 1e9;
    ticker.stop();
    writer.join();

    result.longestStallMs = longestGap / 1e6;
    result.peakKb = processStatusKb("VmHWM");
    result.endKb = processStatusKb("VmRSS");
    // Lines reach the pane in batches, so the rate is averaged over ten 10,000-line stretches
    // (over 100,000 lines) at each end.
    const std::size_t window = std::min<std::size_t>(10, marks.size() / 2);
    if (window > 0) {
        result.first10k = marks[window - 1] / 1e9 / double(window);
        result.last10k = (marks.back() - marks[marks.size() - 1 - window]) / 1e9 / double(window);
    }

    // Every line present, numbered 1..N in order.
    bool ordered = doc->blockCount() - 1 == lines;
    int expected = 1;
    for (QTextBlock block = doc->begin(); ordered && block.isValid() && expected <= lines;
         block = block.next(), ++expected) {
        const QString text = block.text();
        ordered = text.startsWith(QLatin1String("12.345,OK,"))
            && text.endsWith(QLatin1Char(',') + QString::number(expected));
    }
    result.inOrder = ordered;

    form.ClosePort();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    if (argc < 2) {
        // Each size in a process of its own, so peak memory is that size's alone.
        std::printf("receive: lines of \"12.345,OK\" CR LF into a pty, Time and Seq. No. "
                    "checked\n");
        std::fflush(stdout);
        int status = 0;
        for (const char *n : {"100000", "1000000"})
            status |= QProcess::execute(QCoreApplication::applicationFilePath(),
                                        {QString::fromLatin1(n)});
        return status;
    }
    QList<int> counts;
    for (int i = 1; i < argc; ++i)
        counts << QByteArray(argv[i]).toInt();

    for (int n : counts) {
        const Result r = run(n);
        std::printf("  N=%d: %.2f s, %.0f lines/s, all present and in order: %s\n", n, r.seconds,
                    n / r.seconds, r.inOrder ? "yes" : "NO");
        std::printf("    seconds per 10,000 lines: first %.3f, last %.3f, ratio %.2f\n", r.first10k,
                    r.last10k, r.first10k > 0 ? r.last10k / r.first10k : 0.0);
        std::printf("    peak resident %.1f MB, held %.0f bytes/line, longest event-loop stall "
                    "%.1f ms\n",
                    r.peakKb / 1024.0, double(r.endKb - r.startKb) * 1024.0 / n, r.longestStallMs);
        std::fflush(stdout);
    }
    return 0;
}
