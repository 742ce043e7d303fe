// Receive benchmark: the received pane under the loads a long session brings.
//   bench_receive                      every figure below, each run in a process of its own
//   bench_receive receive N            a device writes N lines "12.345,OK" CR LF into a pty as
//                                      fast as the kernel takes them, Time and Seq. No. checked
//   bench_receive trickle N [send]     N stamped lines reach the shown pane one at a time, each
//                                      painted before the next (send: into a send-pane widget)
//   bench_receive operations N         on an N-line pane: select all and copy, save, scroll to
//                                      the middle and paint, drop the first half
//   bench_receive empty N              on N empty lines: Enter at the top, and the chunks
//   bench_receive pastes N             N pastes at the top of a 1,000,000-line pane: the
//                                      chunks before and after, then typing at the top
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"
#include "serial/MSComm.h"
#include "settings/SettingsFile.h"
#include "tests/support/ProcessStatus.h"
#include "tests/support/PtyDevice.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QProcess>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <poll.h>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace {

double megabytes(long kb)
{
    return kb / 1024.0;
}

// Every line present, numbered 1..N in order.
bool allInOrder(const LineStore &received, qint64 lines)
{
    if (received.lineCount() - 1 != lines)
        return false;
    for (qint64 i = 0; i < lines; ++i) {
        const QString text = received.lineText(i);
        if (!text.startsWith(QLatin1String("12.345,OK,"))
            || !text.endsWith(QLatin1Char(',') + QString::number(i + 1)))
            return false;
    }
    return true;
}

int receive(int lines)
{
    QTemporaryDir dir;
    overrideSettingsFolder(dir.path());
    PtyDevice pty;
    if (!pty.isValid()) {
        std::perror("openpty");
        return 1;
    }
    qputenv("KAVREL_COM1", pty.slavePath().toLocal8Bit());
    QByteArray data;
    data.reserve(qsizetype(lines) * 11);
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
        return 1;
    }
    const LinePane *pane = form.RichTextBox2;
    const long startKb = processStatusKb("VmRSS");

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
    QObject::connect(pane, &LinePane::Change, &form, [&] {
        const int shown = pane->lineCount() - 1;
        while (int(marks.size()) < shown / 10000)
            marks.push_back(clock.nsecsElapsed());
        if (shown >= lines)
            loop.quit();
    });

    clock.start();
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
    const double seconds = clock.nsecsElapsed() / 1e9;
    ticker.stop();
    writer.join();
    const long peakKb = processStatusKb("VmHWM");
    const long endKb = processStatusKb("VmRSS");

    // Lines reach the pane in batches, so the rate is averaged over ten 10,000-line stretches
    // at each end.
    const std::size_t window = std::min<std::size_t>(10, marks.size() / 2);
    double first10k = 0;
    double last10k = 0;
    if (window > 0) {
        first10k = marks[window - 1] / 1e9 / double(window);
        last10k = (marks.back() - marks[marks.size() - 1 - window]) / 1e9 / double(window);
    }
    const bool inOrder = allInOrder(pane->lines(), lines);
    form.ClosePort();

    std::printf("  receive N=%d: %.2f s first byte to last line, %.0f lines/s, all present and in "
                "order: %s\n",
                lines, seconds, lines / seconds, inOrder ? "yes" : "NO");
    std::printf("    seconds per 10,000 lines: first %.4f, last %.4f, ratio last/first %.2f\n",
                first10k, last10k, first10k > 0 ? last10k / first10k : 0.0);
    std::printf("    peak resident %.1f MB (the device's %.1f MB of data included), held %.1f "
                "bytes/line, longest event-loop stall %.1f ms\n",
                megabytes(peakKb), data.size() / 1048576.0,
                double(endKb - startKb) * 1024.0 / lines, longestGap / 1e6);
    return inOrder ? 0 : 1;
}

// One line at a time into a shown pane, each painted before the next comes: what a device
// reading ten times a second does to memory over a long session.
// Counts the paints a widget receives.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

template<typename Pane> int trickle(int lines, const char *what)
{
    Pane pane;
    // As the former received pane was set up: no undo history.
    if constexpr (std::is_same_v<Pane, RichTextBox>)
        pane.setUndoRedoEnabled(false);
    pane.setFont(QFont(QStringLiteral("Courier New"), 10));
    pane.resize(400, 600);
    pane.show();
    QApplication::processEvents();
    const long startKb = processStatusKb("VmRSS");
    PaintCounter paints(pane.viewport());
    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i <= lines; ++i) {
        pane.setSelStart(std::numeric_limits<int>::max());
        pane.setSelText(QStringLiteral("12.345,OK,14:03:07,%1\r\n").arg(i));
        // Between two lines the window's loop runs, as it does between two readings, and
        // paints what the line changed.
        const int before = paints.count;
        while (paints.count == before)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    const long endKb = processStatusKb("VmRSS");
    std::printf("  trickle N=%d into %s: %.1f bytes resident per held line, %.1f us a line with "
                "its paint\n",
                lines, what, double(endKb - startKb) * 1024.0 / lines, seconds * 1e6 / lines);
    return 0;
}

template<typename F> double milliseconds(F &&f)
{
    QElapsedTimer clock;
    clock.start();
    f();
    return clock.nsecsElapsed() / 1e6;
}

int operations(int lines)
{
    QTemporaryDir dir;
    overrideSettingsFolder(dir.path());
    Form1 form;
    form.show();
    QApplication::processEvents();
    LinePane *pane = form.RichTextBox2;
    // As the window fills it: batches of about 128 KB at the end.
    QString batch;
    for (int i = 1; i <= lines; ++i) {
        batch += QStringLiteral("12.345,OK,14:03:07,%1\r\n").arg(i);
        if (batch.size() >= 64 * 1024 || i == lines) {
            pane->setSelStart(std::numeric_limits<int>::max());
            pane->setSelText(batch);
            batch.truncate(0);
        }
    }
    QApplication::processEvents();
    pane->setFocus();

    const double copy = milliseconds([&] {
        QTest::keyClick(pane, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(pane, Qt::Key_C, Qt::ControlModifier);
    });
    qsizetype pasted = 0;
    const double paste = milliseconds([&] { pasted = QApplication::clipboard()->text().size(); });
    const QString path = dir.filePath(QStringLiteral("received.txt"));
    bool saved = false;
    const double save = milliseconds([&] { saved = pane->SaveFile(path, 1); });
    const double scroll = milliseconds([&] {
        pane->verticalScrollBar()->setValue(pane->verticalScrollBar()->maximum() / 2);
        pane->viewport()->repaint();
    });
    const double text = milliseconds([&] { pasted = std::max(pasted, pane->Text().size()); });
    const double dropHalf = milliseconds([&] {
        pane->setSelStart(0);
        pane->setSelLength(int(pane->lines().size() / 2));
        pane->setSelText(QString());
    });
    std::printf("  operations on a %d-line pane: select all + copy %.2f ms (building the copied "
                "text when pasted %.0f ms), SaveFile %.0f ms (%s, %.1f MB), scroll to the middle "
                "and paint %.2f ms, Text %.0f ms, deleting the first half %.2f ms\n",
                lines, copy, paste, save, saved ? "saved" : "FAILED",
                QFileInfo(path).size() / 1048576.0, scroll, text, dropHalf);
    return saved && pasted > 0 ? 0 : 1;
}

// A pane filled as the window fills it, shown and focused.
void fillReceived(LinePane &pane, int lines)
{
    QString batch;
    for (int i = 1; i <= lines; ++i) {
        batch += QStringLiteral("12.345,OK,14:03:07,%1\r\n").arg(i);
        if (batch.size() >= 64 * 1024 || i == lines) {
            pane.setSelStart(std::numeric_limits<int>::max());
            pane.setSelText(batch);
            batch.truncate(0);
        }
    }
}

void showFocused(LinePane &pane)
{
    pane.resize(600, 400);
    pane.show();
    pane.setFocus();
    QApplication::processEvents();
}

// Keys typed at the top of the pane, the time of each.
double millisecondsPerKey(LinePane &pane, Qt::Key key, int times)
{
    return milliseconds([&] {
               for (int i = 0; i < times; ++i) {
                   pane.select(0, 0);
                   QTest::keyClick(&pane, key);
               }
           })
        / times;
}

int emptyLines(int lines)
{
    LinePane pane;
    pane.setText(QString(lines - 1, u'\n'));
    showFocused(pane);
    const double enter = millisecondsPerKey(pane, Qt::Key_Return, 20);
    std::printf("  %d empty lines in %lld chunks: Enter at the top %.3f ms\n", lines,
                qlonglong(pane.lines().chunkCount()), enter);
    return pane.lineCount() == lines + 20 ? 0 : 1;
}

int pastes(int count)
{
    LinePane pane;
    fillReceived(pane, 1000000);
    showFocused(pane);
    const qsizetype before = pane.lines().chunkCount();
    QApplication::clipboard()->setText(QStringLiteral("12.345,OK,14:03:07,0\r\n"));
    const double pasting = milliseconds([&] {
        for (int i = 0; i < count; ++i) {
            pane.select(0, 0);
            pane.paste();
        }
    });
    const double typing = millisecondsPerKey(pane, Qt::Key_X, 200);
    std::printf("  %d pastes at the top of a 1,000,000-line pane: chunks %lld before, %lld "
                "after; %.3f ms a paste, then typing at the top %.3f ms a key\n",
                count, qlonglong(before), qlonglong(pane.lines().chunkCount()), pasting / count,
                typing);
    return pane.lineCount() == 1000001 + count ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        // Each in a process of its own, so peak memory is that run's alone.
        std::printf("receive: the received pane (Time and Seq. No. checked where the window "
                    "receives)\n");
        std::fflush(stdout);
        const QList<QStringList> runs = {{"receive", "1000000"},    {"receive", "10000000"},
                                         {"trickle", "200000"},     {"trickle", "20000", "send"},
                                         {"operations", "1000000"}, {"empty", "16000000"},
                                         {"pastes", "1000"}};
        int status = 0;
        for (const QStringList &run : runs)
            status |= QProcess::execute(QCoreApplication::applicationFilePath(), run);
        return status;
    }
    const int n = args.value(1).toInt();
    int status = 2;
    if (args[0] == QLatin1String("receive") && n > 0)
        status = receive(n);
    else if (args[0] == QLatin1String("trickle") && n > 0)
        status = args.value(2) == QLatin1String("send") ? trickle<RichTextBox>(
                     n, "a send-pane widget (QPlainTextEdit, the former received pane)")
                                                        : trickle<LinePane>(n, "the received pane");
    else if (args[0] == QLatin1String("operations") && n > 0)
        status = operations(n);
    else if (args[0] == QLatin1String("empty") && n > 0)
        status = emptyLines(n);
    else if (args[0] == QLatin1String("pastes") && n > 0)
        status = pastes(n);
    else
        std::fprintf(
            stderr,
            "usage: bench_receive [receive N | trickle N [send] | operations N | empty N | "
            "pastes N]\n");
    std::fflush(stdout);
    return status;
}
