// The simulated instrument: a pseudo-terminal that sends a reading line once a second and
// echoes every line it receives. It prints the path of the port to open, for KAVREL_COM1.
#include <QCommandLineParser>
#include <QCoreApplication>
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

class Instrument : public QObject
{
public:
    Instrument(int master, int slave, int interval)
        : m_master(master), m_slave(slave), m_readable(master, QSocketNotifier::Read),
          m_writable(master, QSocketNotifier::Write)
    {
        m_writable.setEnabled(false);
        connect(&m_readable, &QSocketNotifier::activated, this, &Instrument::receive);
        connect(&m_writable, &QSocketNotifier::activated, this, &Instrument::flush);
        connect(&m_timer, &QTimer::timeout, this, &Instrument::sendReading);
        m_timer.start(interval);
    }

private:
    void sendReading()
    {
        // Output nobody has taken for a whole interval is lost, as on a line with no one
        // listening: the program opening the port later gets fresh readings only.
        int unread = 0;
        if (::ioctl(m_slave, TIOCINQ, &unread) == 0) {
            if (unread > 0 && m_written - quint64(unread) == m_taken) {
                ::tcflush(m_slave, TCIFLUSH);
                m_pending.clear();
                m_writable.setEnabled(false);
                unread = 0;
            }
            m_taken = m_written - quint64(unread);
        }
        m_value = qBound(10.0, m_value + (int(QRandomGenerator::global()->bounded(7)) - 3) / 10.0,
                         15.0);
        ++m_count;
        QByteArray line = QByteArray::number(m_value, 'f', 1);
        if (m_count % 7 == 0)
            line.prepend(QByteArray() + esc + "T,");
        if (m_count % 5 == 0)
            line.append(ack);
        send(line + "\r\n");
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

    void send(const QByteArray &bytes)
    {
        if (m_pending.size() + bytes.size() > mostPending)
            return;
        m_pending += bytes;
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
        }
        m_writable.setEnabled(!m_pending.isEmpty());
    }

    int m_master;
    int m_slave;
    QSocketNotifier m_readable;
    QSocketNotifier m_writable;
    QTimer m_timer;
    QByteArray m_line;
    QByteArray m_pending;
    quint64 m_written = 0; // bytes handed to the pseudo-terminal
    quint64 m_taken = 0; // of those, what the program had read (or was dropped) last time
    double m_value = 12.5;
    quint64 m_count = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    // SIGINT and SIGTERM arrive as readable data, so the event loop ends normally.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalDescriptor = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavrel-sim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A simulated measuring instrument on a pseudo-terminal. Prints the path of the "
        "port to open (for example as KAVREL_COM1), sends a reading every interval and "
        "echoes every line it receives."));
    parser.addHelpOption();
    const QCommandLineOption interval(QStringLiteral("interval"),
                                      QStringLiteral("Milliseconds between readings (1000)."),
                                      QStringLiteral("ms"), QStringLiteral("1000"));
    parser.addOption(interval);
    parser.process(app);
    bool valid = false;
    const int milliseconds = parser.value(interval).toInt(&valid);
    if (!valid || milliseconds <= 0) {
        std::fprintf(stderr, "kavrel-sim: --interval needs a positive number of milliseconds\n");
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
        Instrument instrument(master, slave, milliseconds);
        QSocketNotifier stop(signalDescriptor, QSocketNotifier::Read);
        QObject::connect(&stop, &QSocketNotifier::activated, &app,
                         [] { QCoreApplication::quit(); });
        result = app.exec();
    }
    ::close(master);
    ::close(slave);
    ::close(signalDescriptor);
    return result;
}
