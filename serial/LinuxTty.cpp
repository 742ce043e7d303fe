// Terminal calls on a port's descriptor: the lock, the settings read back, pty detection, the
// output queue and the UART's error counters.
#include "serial/LinuxTty.h"

#ifdef Q_OS_LINUX
#include "serial/Termios2.h"

#include <QFile>

#include <algorithm>
#include <asm/ioctls.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace tty {

#ifdef Q_OS_LINUX

bool lockExclusively(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

DeviceLook::DeviceLook(const QString &path)
{
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        m_busy = errno == EBUSY; // another opener's exclusive mode
        return;
    }
    int exclusive = 0;
    if (::ioctl(m_fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        m_busy = true;
        return;
    }
    // The lock is let go at once: the port's own descriptor takes it.
    m_busy = !lockExclusively(m_fd);
    ::flock(m_fd, LOCK_UN);
    struct stat node = {};
    // Only a terminal: many programs hold /dev/null, which the port's opening refuses anyway.
    if (!m_busy && ::isatty(m_fd) && ::fstat(m_fd, &node) == 0 && S_ISCHR(node.st_mode))
        m_holder = otherHolder(node.st_rdev);
}

DeviceLook::~DeviceLook()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<AppliedLine> appliedLine(int fd)
{
    termios2 applied {};
    if (::ioctl(fd, TCGETS2, &applied) != 0)
        return std::nullopt;
    AppliedLine line;
    line.baud = applied.c_ospeed;
    switch (applied.c_cflag & CSIZE) {
    case CS5:
        line.dataBits = 5;
        break;
    case CS6:
        line.dataBits = 6;
        break;
    case CS7:
        line.dataBits = 7;
        break;
    default:
        line.dataBits = 8;
        break;
    }
    line.parity = (applied.c_cflag & PARENB) != 0;
    line.twoStopBits = (applied.c_cflag & CSTOPB) != 0;
    return line;
}

bool isPseudoTerminal(int fd)
{
    // Unix98 pty slaves (majors 136 to 143) and the legacy BSD ones (3).
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return false;
    const unsigned int kind = major(info.st_rdev);
    return (kind >= 136 && kind <= 143) || kind == 3;
}

std::optional<int> queuedForWire(int fd)
{
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0)
        return std::nullopt;
    return std::max(queued, 0);
}

std::optional<LineErrorCounts> lineErrorCounts(int fd)
{
    serial_icounter_struct counts {};
    if (::ioctl(fd, TIOCGICOUNT, &counts) != 0)
        return std::nullopt;
    return LineErrorCounts {.frame = counts.frame,
                            .overrun = counts.overrun,
                            .parity = counts.parity,
                            .brk = counts.brk,
                            .bufferOverrun = counts.buf_overrun};
}

#else

bool lockExclusively(int)
{
    return true;
}

DeviceLook::DeviceLook(const QString &) {}

DeviceLook::~DeviceLook() = default;

std::optional<AppliedLine> appliedLine(int)
{
    return std::nullopt;
}

bool isPseudoTerminal(int)
{
    return false;
}

std::optional<int> queuedForWire(int)
{
    return 0;
}

std::optional<LineErrorCounts> lineErrorCounts(int)
{
    return std::nullopt;
}

#endif

} // namespace tty
