// The recovery folder as one checked descriptor, and the names of its sets.
#include "recovery/RecoveryFolder.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

const char *suffix(SetFile file)
{
    switch (file) {
    case SetFile::Lock:
        return ".lock";
    case SetFile::Received:
        return ".received";
    case SetFile::Send:
        return ".send";
    case SetFile::LockNew:
        return ".lock.new";
    case SetFile::ReceivedNew:
        return ".received.new";
    case SetFile::SendNew:
        return ".send.new";
    case SetFile::LockMaking:
        return ".lock.making";
    }
    return "";
}

bool isNew(SetFile file)
{
    return file == SetFile::LockNew || file == SetFile::ReceivedNew || file == SetFile::SendNew
        || file == SetFile::LockMaking;
}

const QRegularExpression &setName()
{
    static const QRegularExpression pattern(
        QStringLiteral("^(kavrel-[1-9][0-9]{0,9}-[0-9a-f]{16})\\.(lock|received|send)(\\.new)?$"));
    return pattern;
}

// A lock being made is held from the moment after it is made until it has its real name, which
// takes a window far less than this; one older and free was left by a window killed meanwhile.
constexpr time_t abandonedAfterSeconds = 60;

bool isAbandonedLock(int folder, const char *name, const struct stat &listed)
{
    if (!S_ISREG(listed.st_mode) || ::time(nullptr) - listed.st_mtime < abandonedAfterSeconds)
        return false;
    const int fd = ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat opened
    {
    };
    const bool free = ::fstat(fd, &opened) == 0 && opened.st_ino == listed.st_ino
        && opened.st_dev == listed.st_dev && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

template<typename Call> int retried(Call &&call)
{
    int result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

} // namespace

RecoveryFolder::RecoveryFolder(RecoveryFolder &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path)),
      m_problem(std::move(other.m_problem)), m_missing(other.m_missing)
{ }

RecoveryFolder &RecoveryFolder::operator=(RecoveryFolder &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
        m_problem = std::move(other.m_problem);
        m_missing = other.m_missing;
    }
    return *this;
}

RecoveryFolder::~RecoveryFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RecoveryFolder::isSetId(QStringView id)
{
    static const QRegularExpression pattern(
        QStringLiteral("^kavrel-[1-9][0-9]{0,9}-[0-9a-f]{16}$"));
    return pattern.match(id.toString()).hasMatch();
}

QByteArray RecoveryFolder::name(const QString &id, SetFile file) const
{
    return QFile::encodeName(id) + suffix(file);
}

int RecoveryFolder::create(const QString &id, SetFile file, int flags) const
{
    if (!isSetId(id)) {
        errno = EINVAL;
        return -1;
    }
    const QByteArray path = name(id, file);
    const auto open = [&] {
        return retried([&] {
            return ::openat(m_fd, path.constData(),
                            (flags ? flags : O_WRONLY) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0600);
        });
    };
    int fd = open();
    if (fd < 0 && errno == EEXIST && isNew(file)) {
        remove(id, file); // left by a window that died while making it
        fd = open();
    }
    return fd;
}

int RecoveryFolder::openExisting(const QString &id, SetFile file, int flags) const
{
    if (!isSetId(id)) {
        errno = EINVAL;
        return -1;
    }
    const QByteArray path = name(id, file);
    struct stat info
    {
    };
    // A device node is not even opened: opening one may act on its device.
    if (::fstatat(m_fd, path.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
        && (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))) {
        errno = EINVAL;
        return -1;
    }
    const int fd = retried([&] {
        return ::openat(m_fd, path.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    });
    if (fd < 0)
        return -1;
    // What is read and offered must be what this user's windows wrote: not a file others may
    // change, nor one with another name outside the folder (claimLock sees to a lock's names).
    int error = 0;
    if (::fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = EINVAL;
    else if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0
             || (file != SetFile::Lock && info.st_nlink != 1))
        error = EPERM;
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool RecoveryFolder::rename(const QString &id, SetFile from, SetFile to) const
{
    if (!isSetId(id)) {
        errno = EINVAL;
        return false;
    }
    return ::renameat(m_fd, name(id, from).constData(), m_fd, name(id, to).constData()) == 0;
}

void RecoveryFolder::remove(const QString &id, SetFile file) const
{
    if (isSetId(id))
        ::unlinkat(m_fd, name(id, file).constData(), 0);
}

void RecoveryFolder::removeSet(const QString &id, int lockFd, bool syncMark) const
{
    // Even on a full disk, where the mark cannot be written, the set goes.
    if (lockFd >= 0 && ::pwrite(lockFd, "-", 1, 0) == 1 && syncMark)
        ::fdatasync(lockFd);
    for (const SetFile file :
         {SetFile::Received, SetFile::Send, SetFile::ReceivedNew, SetFile::SendNew,
          SetFile::LockNew, SetFile::LockMaking, SetFile::Lock}) {
        if (stepForTesting && !stepForTesting("remove", id))
            return;
        remove(id, file);
    }
}

bool RecoveryFolder::isLetGo(int lockFd)
{
    struct stat info
    {
    };
    return ::fstat(lockFd, &info) == 0 && info.st_size > 0;
}

bool RecoveryFolder::sync() const
{
    return ::fsync(m_fd) == 0;
}

int RecoveryFolder::takeLock(const QString &id) const
{
    const int fd = create(id, SetFile::LockMaking, O_RDWR);
    if (fd < 0)
        return -1;
    if (stepForTesting)
        stepForTesting("made", id);
    // A link, unlike a rename, never puts the lock over one a claimer made meanwhile; a file
    // system without links gets the rename.
    const QByteArray making = name(id, SetFile::LockMaking);
    const QByteArray lock = name(id, SetFile::Lock);
    bool placed = retried([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0;
    if (placed && ::linkat(m_fd, making.constData(), m_fd, lock.constData(), 0) != 0)
        placed = (errno == EPERM || errno == EOPNOTSUPP)
            && ::renameat(m_fd, making.constData(), m_fd, lock.constData()) == 0;
    const int error = errno;
    remove(id, SetFile::LockMaking);
    if (!placed) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int RecoveryFolder::claimLock(const QString &id, bool &created) const
{
    created = false;
    // Read and write, so removeSet can mark it; a lock made read-only is still held.
    int fd = openExisting(id, SetFile::Lock, O_RDWR);
    if (fd < 0 && errno == EACCES)
        fd = openExisting(id, SetFile::Lock, O_RDONLY);
    if (fd < 0 && errno == ENOENT) {
        fd = create(id, SetFile::Lock, O_RDWR);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST) // another window made it first
            fd = openExisting(id, SetFile::Lock, O_RDWR);
    } else if (fd < 0) {
        fd = replaceLock(id, -1);
        created = fd >= 0;
    }
    for (int tries = 0; fd >= 0; ++tries) {
        struct stat info
        {
        };
        // A lock removed and made again between the open and the flock is another file by now.
        if (retried([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0
            || !isInPlace(fd, id, SetFile::Lock) || ::fstat(fd, &info) != 0 || tries > 1)
            break;
        if (info.st_nlink == 1)
            return fd;
        // Free, yet with another name: left by a window killed while it named it, or a name for
        // a file elsewhere, which is never marked.
        const int fresh = replaceLock(id, fd);
        ::close(fd);
        fd = fresh;
        created = fd >= 0;
    }
    if (fd >= 0)
        ::close(fd);
    created = false;
    return -1;
}

// A lock that is no window's (a link, a FIFO, a folder, a file others may write) or that has other
// names (`held`, locked) would hide its set for good: it is replaced, under the folder's own
// lock, so two windows starting at once never remove each other's new lock.
int RecoveryFolder::replaceLock(const QString &id, int held) const
{
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0)
        return -1;
    const QByteArray lock = name(id, SetFile::Lock);
    struct stat info
    {
    };
    const bool present = ::fstatat(m_fd, lock.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    const bool strange = !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()
        || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool replace = present && (held >= 0 ? isInPlace(held, id, SetFile::Lock) : strange);
    int fd = -1;
    if (replace
        && ::unlinkat(m_fd, lock.constData(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) == 0)
        fd = create(id, SetFile::Lock, O_RDWR);
    ::flock(m_fd, LOCK_UN);
    return fd;
}

bool RecoveryFolder::isInPlace(int fd, const QString &id, SetFile file) const
{
    struct stat open
    {
    };
    struct stat named
    {
    };
    return ::fstat(fd, &open) == 0
        && ::fstatat(m_fd, name(id, file).constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
        && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

std::vector<RecoveryFolder::Set> RecoveryFolder::sets() const
{
    std::vector<Set> found;
    const int listing = ::openat(m_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!dir) {
        if (listing >= 0)
            ::close(listing);
        return found;
    }
    QHash<QString, qsizetype> known;
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        const QRegularExpressionMatch match = setName().match(name);
        struct stat info
        {
        };
        if (name.endsWith(QLatin1String(".lock.making")) && isSetId(name.chopped(12))
            && ::fstatat(m_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0
            && isAbandonedLock(m_fd, entry->d_name, info)) {
            ::unlinkat(m_fd, entry->d_name, 0);
            continue;
        }
        if (!match.hasMatch() || ::fstatat(m_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const QDateTime written = QDateTime::fromSecsSinceEpoch(info.st_mtim.tv_sec)
                                      .addMSecs(info.st_mtim.tv_nsec / 1000000);
        const QString id = match.captured(1);
        const auto at = known.constFind(id);
        if (at == known.constEnd()) {
            known.insert(id, qsizetype(found.size()));
            found.push_back({.id = id, .written = written});
        } else {
            found[size_t(*at)].written = std::max(found[size_t(*at)].written, written);
        }
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end(),
              [](const Set &a, const Set &b) { return a.written > b.written; });
    return found;
}
