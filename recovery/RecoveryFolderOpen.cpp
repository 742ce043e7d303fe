// Opening the recovery folder, and telling the user what keeps it from being used.
#include "recovery/RecoveryFolder.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

template<typename Call> int retried(Call &&call)
{
    int result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// Each missing folder on the way made private to the user, as state folders are. On failure,
// the folder that could not be made.
bool makeFolders(const QByteArray &path, QByteArray &failed)
{
    for (qsizetype at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/')
            continue;
        if (::mkdir(path.first(at).constData(), 0700) != 0 && errno != EEXIST) {
            failed = path.first(at);
            return false;
        }
    }
    return true;
}

QString modeText(mode_t mode)
{
    return QStringLiteral("%1").arg(uint(mode & 07777), 4, 8, QLatin1Char('0'));
}

QString anotherUser()
{
    return QStringLiteral("It belongs to another user, as a run with sudo leaves it. Give it back "
                          "to yourself with sudo chown -R \"$USER\" on it, or remove it with "
                          "sudo rm -r; Kavrel then makes the folder itself.");
}

QString closedToUser(mode_t mode)
{
    return QStringLiteral("Its permissions (%1) do not let you use it. Make it yours to use with "
                          "chmod 700.")
        .arg(modeText(mode));
}

// What keeps the user out of the folder that could not be opened, and what to do.
QString whyNotOpened(const QByteArray &path, int error)
{
    struct stat info
    {
    };
    if (::lstat(path.constData(), &info) != 0)
        return errno == EACCES ? QStringLiteral("A folder on its path does not let you in: look "
                                                "at the permissions of the folders above it.")
                               : QString::fromLocal8Bit(std::strerror(error));
    if (S_ISLNK(info.st_mode))
        return QStringLiteral(
            "It is a symbolic link. Remove the link; Kavrel then makes the folder itself.");
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("It is not a folder. Remove it; Kavrel then makes the folder "
                              "itself.");
    if (info.st_uid != ::geteuid())
        return anotherUser();
    if (error == EACCES)
        return closedToUser(info.st_mode);
    return QString::fromLocal8Bit(std::strerror(error));
}

// The same for a folder above it, in which it could not be made: a folder that holds more
// than Kavrel's, so only mended, never removed.
QString whyNotMadeIn(const QByteArray &above, int error)
{
    struct stat info
    {
    };
    QString why = QString::fromLocal8Bit(std::strerror(error));
    if (::stat(above.constData(), &info) == 0) {
        why = info.st_uid != ::geteuid()
            ? QStringLiteral("It belongs to another user, as a run with sudo leaves it: give it "
                             "back to yourself with sudo chown \"$USER\" on it.")
            : QStringLiteral("Its permissions (%1) do not let you make folders in it: chmod "
                             "u+rwx on it mends that.")
                  .arg(modeText(info.st_mode));
    }
    return QStringLiteral("It cannot be made in %1. %2").arg(QFile::decodeName(above), why);
}

} // namespace

RecoveryFolder RecoveryFolder::open(const QString &path, bool create)
{
    RecoveryFolder folder;
    folder.m_path = path;
    const QByteArray encoded = QFile::encodeName(path);
    QByteArray failed;
    if (create && !makeFolders(encoded, failed)) {
        const int error = errno;
        const QByteArray above = failed.first(std::max<qsizetype>(1, failed.lastIndexOf('/')));
        folder.m_problem
            = error == EACCES ? whyNotMadeIn(above, error) : whyNotOpened(failed, error);
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
        folder.m_problem = whyNotOpened(encoded, error);
        return folder;
    }
    if (::fstat(fd, &info) != 0) {
        folder.m_problem = QString::fromLocal8Bit(std::strerror(errno));
    } else if (info.st_uid != ::geteuid()) {
        folder.m_problem = anotherUser();
    } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        folder.m_problem = QStringLiteral("Other users can change it (its permissions are %1). "
                                          "Make it yours alone with chmod 700, or remove it.")
                               .arg(modeText(info.st_mode));
    } else if ((info.st_mode & S_IRWXU) != S_IRWXU && ::geteuid() != 0) {
        folder.m_problem = closedToUser(info.st_mode);
    }
    if (!folder.m_problem.isEmpty()) {
        ::close(fd);
        return folder;
    }
    folder.m_fd = fd;
    return folder;
}
