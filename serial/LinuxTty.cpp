// Terminal calls on a port's descriptor: the lock, the settings read back, pty detection, the
// output queue and the UART's error counters.
#include "serial/LinuxTty.h"

#ifdef Q_OS_LINUX
#include "serial/Termios2.h"

#include <asm/ioctls.h>
#include <cerrno>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#endif

namespace tty {

#ifdef Q_OS_LINUX

bool lockExclusively(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
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

int queuedForWire(int fd)
{
    int queued = 0;
    return ::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 ? queued : 0;
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

std::optional<AppliedLine> appliedLine(int)
{
    return std::nullopt;
}

bool isPseudoTerminal(int)
{
    return false;
}

int queuedForWire(int)
{
    return 0;
}

std::optional<LineErrorCounts> lineErrorCounts(int)
{
    return std::nullopt;
}

#endif

} // namespace tty
