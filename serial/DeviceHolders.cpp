// One pass over /proc, at Start only.
#include "serial/DeviceHolders.h"

#ifdef Q_OS_LINUX
#include <QByteArray>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace tty {

#ifdef Q_OS_LINUX

namespace {

// The pseudo-terminal a master descriptor serves, as its fdinfo tells; -1 when it does not.
int masterIndex(int fdDir, const char *fd)
{
    char path[320];
    std::snprintf(path, sizeof path, "../fdinfo/%s", fd);
    const int info = ::openat(fdDir, path, O_RDONLY | O_CLOEXEC);
    if (info < 0)
        return -1;
    char text[1024];
    const ssize_t size = ::read(info, text, sizeof text - 1);
    ::close(info);
    if (size <= 0)
        return -1;
    text[size] = '\0';
    const char *index = std::strstr(text, "tty-index:");
    return index ? std::atoi(index + std::strlen("tty-index:")) : -1;
}

// Whether the process holds the device, and is not its other end.
bool holds(const char *pid, dev_t rdev, int ptyIndex)
{
    char path[320];
    std::snprintf(path, sizeof path, "/proc/%s/fd", pid);
    DIR *fds = ::opendir(path);
    if (!fds)
        return false;
    bool device = false;
    bool master = false;
    while (const dirent *entry = ::readdir(fds)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[256];
        const ssize_t size = ::readlinkat(::dirfd(fds), entry->d_name, target, sizeof target - 1);
        // Only device nodes are looked at: a stat through a descriptor of a network file could
        // wait on its server.
        if (size < 5 || std::strncmp(target, "/dev/", 5) != 0)
            continue;
        target[size] = '\0';
        if (ptyIndex >= 0
            && (std::strcmp(target, "/dev/ptmx") == 0
                || std::strcmp(target, "/dev/pts/ptmx") == 0)) {
            master = master || masterIndex(::dirfd(fds), entry->d_name) == ptyIndex;
            continue;
        }
        struct stat node = {};
        if (::fstatat(::dirfd(fds), entry->d_name, &node, 0) == 0 && S_ISCHR(node.st_mode)
            && node.st_rdev == rdev)
            device = true;
    }
    ::closedir(fds);
    return device && !master;
}

} // namespace

std::optional<DeviceHolder> otherHolder(dev_t rdev)
{
    // Pseudo-terminal slaves are majors 136 to 143, numbered on from there.
    const unsigned major = ::major(rdev);
    const int ptyIndex
        = major >= 136 && major <= 143 ? int((major - 136) * 256 + ::minor(rdev)) : -1;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return std::nullopt;
    const qint64 self = ::getpid();
    std::optional<DeviceHolder> found;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const qint64 pid = std::strtoll(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self || !holds(entry->d_name, rdev, ptyIndex))
            continue;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        found = DeviceHolder {.pid = pid,
                              .program = comm.open(QIODevice::ReadOnly)
                                  ? QString::fromLocal8Bit(comm.readAll().trimmed())
                                  : QString()};
        break;
    }
    ::closedir(proc);
    return found;
}

#else

std::optional<DeviceHolder> otherHolder(dev_t)
{
    return std::nullopt;
}

#endif

} // namespace tty
