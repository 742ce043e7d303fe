// The recovery folder as one checked descriptor, and the names of its sets.
#include "recovery/RecoveryFolder.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
    }
    return "";
}

bool isNew(SetFile file)
{
    return file == SetFile::LockNew || file == SetFile::ReceivedNew || file == SetFile::SendNew;
}

const QRegularExpression &setName()
{
    static const QRegularExpression pattern(
        QStringLiteral("^(kavrel-[1-9][0-9]{0,9}-[0-9a-f]{16})\\.(lock|received|send)(\\.new)?$"));
    return pattern;
}

template<typename Call> int retried(Call &&call)
{
    int result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// Each missing folder on the way made private to the user, as state folders are.
bool makeFolders(const QByteArray &path)
{
    for (qsizetype at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/')
            continue;
        if (::mkdir(path.first(at).constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

QString modeText(mode_t mode)
{
    return QStringLiteral("%1").arg(uint(mode & 07777), 4, 8, QLatin1Char('0'));
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

RecoveryFolder RecoveryFolder::open(const QString &path, bool create)
{
    RecoveryFolder folder;
    folder.m_path = path;
    const QByteArray encoded = QFile::encodeName(path);
    if (create && !makeFolders(encoded)) {
        folder.m_problem = QString::fromLocal8Bit(std::strerror(errno));
        return folder;
    }
    const int fd = retried([&] {
        return ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    });
    struct stat info
    {
    };
    if (fd < 0) {
        const int error = errno;
        folder.m_missing = error == ENOENT;
        if (::lstat(encoded.constData(), &info) == 0 && S_ISLNK(info.st_mode))
            folder.m_problem = QStringLiteral(
                "It is a symbolic link. Remove the link; Kavrel then makes the folder itself.");
        else if (error == ENOTDIR)
            folder.m_problem = QStringLiteral("It is not a folder. Remove it; Kavrel then makes "
                                              "the folder itself.");
        else
            folder.m_problem = QString::fromLocal8Bit(std::strerror(error));
        return folder;
    }
    if (::fstat(fd, &info) != 0) {
        folder.m_problem = QString::fromLocal8Bit(std::strerror(errno));
    } else if (info.st_uid != ::geteuid()) {
        folder.m_problem = QStringLiteral("It belongs to another user. Remove it; Kavrel then "
                                          "makes the folder itself.");
    } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        folder.m_problem = QStringLiteral("Other users can change it (its permissions are %1). "
                                          "Make it yours alone with chmod 700, or remove it.")
                               .arg(modeText(info.st_mode));
    }
    if (!folder.m_problem.isEmpty()) {
        ::close(fd);
        return folder;
    }
    folder.m_fd = fd;
    return folder;
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
    const int fd = retried([&] {
        return ::openat(m_fd, path.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    });
    if (fd < 0)
        return -1;
    struct stat info
    {
    };
    int error = 0;
    if (::fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = EINVAL;
    else if (info.st_uid != ::geteuid())
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

void RecoveryFolder::removeSet(const QString &id) const
{
    for (const SetFile file : {SetFile::Received, SetFile::Send, SetFile::ReceivedNew,
                               SetFile::SendNew, SetFile::LockNew, SetFile::Lock})
        remove(id, file);
}

bool RecoveryFolder::sync() const
{
    return ::fsync(m_fd) == 0;
}

int RecoveryFolder::takeLock(const QString &id) const
{
    const int fd = create(id, SetFile::LockNew, O_RDWR);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !rename(id, SetFile::LockNew, SetFile::Lock)) {
        const int error = errno;
        ::close(fd);
        remove(id, SetFile::LockNew);
        errno = error;
        return -1;
    }
    return fd;
}

int RecoveryFolder::claimLock(const QString &id, bool &created) const
{
    created = false;
    int fd = openExisting(id, SetFile::Lock, O_RDONLY);
    if (fd < 0 && errno == ENOENT) {
        // A window making this set holds its lock under the .new name until it is in place.
        const int making = openExisting(id, SetFile::LockNew, O_RDONLY);
        const bool held = making >= 0 && ::flock(making, LOCK_EX | LOCK_NB) != 0;
        if (making >= 0)
            ::close(making);
        if (held)
            return -1;
        fd = create(id, SetFile::Lock, O_RDONLY);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST) // another window made it first
            fd = openExisting(id, SetFile::Lock, O_RDONLY);
    }
    if (fd < 0)
        return -1;
    // A lock removed and made again between the open and the flock is another file by now.
    if (retried([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0
        || !isInPlace(fd, id, SetFile::Lock)) {
        ::close(fd);
        created = false;
        return -1;
    }
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
        const QRegularExpressionMatch match = setName().match(QFile::decodeName(entry->d_name));
        struct stat info
        {
        };
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
