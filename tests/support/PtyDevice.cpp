// A pseudo-terminal standing in for a serial device.
#include "tests/support/PtyDevice.h"

#include "serial/Termios2.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

#include <asm/ioctls.h>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

PtyDevice::PtyDevice()
{
    char name[256] = {};
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    // Raw on the slave side too: nothing the program sends or receives is rewritten.
    ::termios raw {};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    m_master = master;
    m_slave = slave;
    m_slavePath = QString::fromLocal8Bit(name);
}

PtyDevice::~PtyDevice()
{
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

bool PtyDevice::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    // As long as a shared machine may need to let the program take a megabyte.
    QDeadlineTimer deadline(60000);
    while (done < bytes.size() && m_master >= 0) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (deadline.hasExpired())
            return false;
        // The program has not read yet: let it.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return done == bytes.size();
}

bool PtyDevice::writeAndWaitTaken(const QByteArray &bytes, int timeoutMs)
{
    // Written without running events, so the program cannot take the bytes before they are
    // seen on the line below.
    const ssize_t n
        = m_master >= 0 ? ::write(m_master, bytes.constData(), size_t(bytes.size())) : -1;
    if (n != bytes.size())
        return false;
    QDeadlineTimer deadline(timeoutMs);
    pollfd arrived {m_slave, POLLIN, 0};
    while (::poll(&arrived, 1, int(qMin<qint64>(deadline.remainingTime(), 1000))) <= 0) {
        if (deadline.hasExpired())
            return false;
    }
    const auto unread = [this] {
        int count = -1;
        return ::ioctl(m_slave, FIONREAD, &count) == 0 ? count : -1;
    };
    while (unread() != 0) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(1);
    }
    return true;
}

QByteArray PtyDevice::read(int count, int timeoutMs)
{
    QByteArray out;
    QDeadlineTimer deadline(timeoutMs);
    while (m_master >= 0 && (count < 0 || out.size() < count)) {
        out += readNow();
        if (count >= 0 && out.size() >= count)
            break;
        if (deadline.hasExpired())
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p {m_master, POLLIN, 0};
        ::poll(&p, 1, 1);
    }
    return out;
}

QByteArray PtyDevice::readUntilQuiet(qsizetype atLeast, int quietMs, int limitMs)
{
    QByteArray all = atLeast > 0 ? read(int(atLeast), limitMs) : QByteArray();
    QDeadlineTimer limit(limitMs);
    while (!limit.hasExpired()) {
        const QByteArray more = read(-1, quietMs);
        if (more.isEmpty())
            break;
        all += more;
    }
    return all;
}

QByteArray PtyDevice::readNow()
{
    QByteArray out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = m_master >= 0 ? ::read(m_master, buffer, sizeof buffer) : -1;
        if (n <= 0)
            break;
        out.append(buffer, n);
    }
    return out;
}

void PtyDevice::closeMaster()
{
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

termios PtyDevice::slaveTermios() const
{
    termios t {};
    if (m_slave >= 0)
        ::tcgetattr(m_slave, &t);
    return t;
}

int PtyDevice::slaveSpeed() const
{
    termios2 t2 {};
    if (m_slave < 0 || ::ioctl(m_slave, TCGETS2, &t2) != 0)
        return -1;
    return int(t2.c_ospeed);
}

bool PtyDevice::twoStopBits() const
{
    return (slaveTermios().c_cflag & CSTOPB) != 0;
}
