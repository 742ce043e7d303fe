// The simulated instrument: a pseudo-terminal that sends a reading line once a second and
// echoes every line it receives. It prints the path of the port to open, for KAVREL_COM1.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr char ack = '\x06';
constexpr char esc = '\x1B';
// Longest line kept while waiting for its CR; a longer one is echoed as it stands.
constexpr qsizetype longestLine = 64 * 1024;
// What waits for the program to read; beyond this nobody is listening.
constexpr qsizetype mostPending = 1024 * 1024;
// Output nobody takes for this long (or one interval, if longer) is dropped.
constexpr qint64 unreadMilliseconds = 1000;
// Most readings one tick sends to catch up after a stall.
constexpr qint64 mostReadingsPerTick = 1000;

class Instrument : public QObject
{
public:
    // interval in milliseconds; below one millisecond, each tick of a 1 ms timer sends the
    // readings that have fallen due.
    Instrument(int master, int slave, double interval, bool numbered)
        : m_master(master), m_slave(slave), m_readable(master, QSocketNotifier::Read),
          m_writable(master, QSocketNotifier::Write), m_interval(interval), m_numbered(numbered)
    {
        m_writable.setEnabled(false);
        connect(&m_readable, &QSocketNotifier::activated, this, &Instrument::receive);
        connect(&m_writable, &QSocketNotifier::activated, this, &Instrument::flush);
        connect(&m_timer, &QTimer::timeout, this, &Instrument::tick);
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.start(qMax(1, qRound(interval)));
        m_clock.start();
        m_sinceTaken.start();
    }

    // No more readings; once the last of them has been written to the line, prints how many
    // there were ("readings N"), so a test knows exactly what a listener should have.
    void stopReadings()
    {
        m_timer.stop();
        m_reportCount = true;
        flush();
    }

private:
    void tick()
    {
        dropUnreadOutput();
        qint64 readings = 1;
        if (m_interval < 1) {
            const qint64 due = qint64(double(m_clock.nsecsElapsed()) / 1e6 / m_interval);
            readings = qBound<qint64>(0, due - qint64(m_count), mostReadingsPerTick);
        }
        while (readings-- > 0)
            sendReading();
    }

    // Output nobody has taken for a second is lost, as on a line with no one listening: the
    // program opening the port later gets fresh readings only.
    void dropUnreadOutput()
    {
        int unread = 0;
        if (::ioctl(m_slave, TIOCINQ, &unread) != 0)
            return;
        const quint64 taken = m_written - quint64(unread);
        if (taken != m_taken || unread == 0) {
            m_taken = taken;
            m_sinceTaken.restart();
            return;
        }
        if (m_sinceTaken.elapsed() < qMax(unreadMilliseconds, qint64(m_interval)))
            return;
        ::tcflush(m_slave, TCIFLUSH);
        m_pending.clear();
        m_pendingReadings.clear();
        m_writable.setEnabled(false);
        m_taken = m_written;
        m_sinceTaken.restart();
    }

    void sendReading()
    {
        m_value = qBound(10.0, m_value + (int(QRandomGenerator::global()->bounded(7)) - 3) / 10.0,
                         15.0);
        ++m_count;
        QByteArray line = QByteArray::number(m_value, 'f', 1);
        if (m_numbered)
            line += ',' + QByteArray::number(m_count);
        if (m_count % 7 == 0)
            line.prepend(QByteArray() + esc + "T,");
        if (m_count % 5 == 0)
            line.append(ack);
        send(line + "\r\n", true);
    }

    void receive()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buffer[i];
                if (c == '\r' || m_line.size() >= longestLine) {
                    send(m_line + "\r\n");
                    m_line.clear();
                }
                if (c != '\r' && c != '\n')
                    m_line.append(c);
            }
        }
    }

    void send(const QByteArray &bytes, bool reading = false)
    {
        if (m_pending.size() + bytes.size() > mostPending)
            return;
        m_pending += bytes;
        if (reading)
            m_pendingReadings.append(m_pending.size());
        flush();
    }

    void flush()
    {
        while (!m_pending.isEmpty()) {
            const ssize_t n = ::write(m_master, m_pending.constData(), size_t(m_pending.size()));
            if (n <= 0)
                break;
            m_pending.remove(0, n);
            m_written += quint64(n);
            // Readings whose last byte is now on the line count as sent.
            qsizetype done = 0;
            while (done < m_pendingReadings.size() && m_pendingReadings.at(done) <= n)
                ++done;
            m_sentReadings += quint64(done);
            m_pendingReadings.remove(0, done);
            for (qsizetype &end : m_pendingReadings)
                end -= n;
        }
        m_writable.setEnabled(!m_pending.isEmpty());
        if (m_reportCount && m_pendingReadings.isEmpty()) {
            m_reportCount = false;
            std::printf("readings %llu\n", static_cast<unsigned long long>(m_sentReadings));
            std::fflush(stdout);
        }
    }

    int m_master;
    int m_slave;
    QSocketNotifier m_readable;
    QSocketNotifier m_writable;
    QTimer m_timer;
    QElapsedTimer m_clock; // since the first reading was due
    QElapsedTimer m_sinceTaken; // since the program last took anything
    double m_interval;
    bool m_numbered;
    QByteArray m_line;
    QByteArray m_pending;
    QList<qsizetype> m_pendingReadings; // where each reading in m_pending ends
    quint64 m_written = 0; // bytes handed to the pseudo-terminal
    quint64 m_taken = 0; // of those, what the program had read (or was dropped) last time
    quint64 m_sentReadings = 0; // readings written whole to the pseudo-terminal
    bool m_reportCount = false;
    double m_value = 12.5;
    quint64 m_count = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    // SIGINT and SIGTERM (stop) and SIGUSR1 (no more readings) arrive as readable data, so
    // the event loop handles them like any other event.
    sigset_t handledSignals;
    sigemptyset(&handledSignals);
    sigaddset(&handledSignals, SIGINT);
    sigaddset(&handledSignals, SIGTERM);
    sigaddset(&handledSignals, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &handledSignals, nullptr);
    const int signalDescriptor = ::signalfd(-1, &handledSignals, SFD_CLOEXEC | SFD_NONBLOCK);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavrel-sim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A simulated measuring instrument on a pseudo-terminal. Prints the path of the "
        "port to open (for example as KAVREL_COM1), sends a reading every interval and "
        "echoes every line it receives. SIGUSR1 stops the readings; once the last one is on "
        "the line it prints \"readings N\", the number sent."));
    parser.addHelpOption();
    const QCommandLineOption interval(
        QStringLiteral("interval"),
        QStringLiteral("Milliseconds between readings (1000); fractions such as 0.1 allowed."),
        QStringLiteral("ms"), QStringLiteral("1000"));
    const QCommandLineOption numbered(
        QStringLiteral("numbered"),
        QStringLiteral("Follow each reading with a comma and its running number from 1."));
    parser.addOption(interval);
    parser.addOption(numbered);
    parser.process(app);
    bool valid = false;
    const double milliseconds = parser.value(interval).toDouble(&valid);
    if (!valid || !(milliseconds >= 0.001 && milliseconds <= 86400000)) {
        std::fprintf(stderr,
                     "kavrel-sim: --interval needs a number of milliseconds from 0.001 "
                     "to 86400000\n");
        return 2;
    }
    if (signalDescriptor < 0) {
        std::perror("kavrel-sim: signalfd");
        return 1;
    }

    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("kavrel-sim: openpty");
        return 1;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    // The slave end stays open here as well, so the program can close and reopen the port
    // without the pseudo-terminal going away; raw, so nothing is echoed or rewritten.
    termios raw {};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);

    std::printf("%s\n", name);
    std::fflush(stdout);

    int result = 0;
    {
        Instrument instrument(master, slave, milliseconds, parser.isSet(numbered));
        QSocketNotifier signalNotifier(signalDescriptor, QSocketNotifier::Read);
        QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
            signalfd_siginfo info {};
            while (::read(signalDescriptor, &info, sizeof info) == ssize_t(sizeof info)) {
                if (info.ssi_signo == SIGUSR1)
                    instrument.stopReadings();
                else
                    QCoreApplication::quit();
            }
        });
        result = app.exec();
    }
    ::close(master);
    ::close(slave);
    ::close(signalDescriptor);
    return result;
}
