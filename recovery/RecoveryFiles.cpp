// The writer's files: made, added to in slices, rewritten by rename, synced, removed.
#include "recovery/RecoveryFiles.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace {

// Writes go out in slices, so a set about to be removed stops writing within one of them.
constexpr qsizetype sliceBytes = 8 * 1024;
// A rewrite is due at twice the text plus this, so files stay in proportion to the panes.
constexpr qint64 rewriteSlack = 512 * 1024;

std::atomic<qint64> writePace {0};

SetFile paneFile(RecoveryPane pane, bool fresh)
{
    if (pane == RecoveryPane::Received)
        return fresh ? SetFile::ReceivedNew : SetFile::Received;
    return fresh ? SetFile::SendNew : SetFile::Send;
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

RecoveryFiles::RecoveryFiles(QString folder, QString id, const std::atomic<bool> &abandon)
    : m_path(std::move(folder)), m_id(std::move(id)), m_abandon(abandon)
{ }

RecoveryFiles::~RecoveryFiles()
{
    close();
    closeFd(m_lockFd);
}

void RecoveryFiles::setWritePaceForTesting(qint64 bytesPerSecond)
{
    writePace = bytesPerSecond;
}

QString RecoveryFiles::open()
{
    close();
    m_reason.clear();
    {
        std::lock_guard names(m_names);
        if (m_removed)
            return QStringLiteral("The recovery files were removed.");
        m_folder = RecoveryFolder::open(m_path, true);
        if (!m_folder.isOpen()) {
            closeFd(m_lockFd);
            return m_folder.problem();
        }
        // The folder may have been removed and made again: a lock that is no longer in it
        // would leave the new files free for another window to claim.
        if (m_lockFd >= 0 && !m_folder.isInPlace(m_lockFd, m_id, SetFile::Lock))
            closeFd(m_lockFd);
        if (m_lockFd < 0 && (m_lockFd = m_folder.takeLock(m_id)) < 0)
            return QString::fromLocal8Bit(std::strerror(errno));
    }
    m_folderDirty = true;
    if (m_made) {
        awaitRewrites();
        return {};
    }
    for (const RecoveryPane pane : {RecoveryPane::Received, RecoveryPane::Send}) {
        PaneFile &target = file(pane);
        {
            std::lock_guard names(m_names);
            const SetFile name = paneFile(pane, false);
            target.fd = m_removed ? -1 : m_folder.create(m_id, name, O_WRONLY | O_APPEND);
            if (target.fd < 0 && errno == EEXIST) {
                // Left by this set's own attempt that failed part way: it holds a header only.
                m_folder.remove(m_id, name);
                target.fd = m_folder.create(m_id, name, O_WRONLY | O_APPEND);
            }
        }
        const QByteArray header = recoveryHeader(pane);
        if (target.fd < 0 || writeAll(target.fd, header) != Result::Done) {
            const QString reason = m_reason.isEmpty()
                ? QString::fromLocal8Bit(std::strerror(errno ? errno : EIO))
                : m_reason;
            close();
            // What this attempt made holds nothing yet: it must not take a full disk's room.
            std::lock_guard names(m_names);
            for (const RecoveryPane made : {RecoveryPane::Received, RecoveryPane::Send}) {
                if (!m_removed)
                    m_folder.remove(m_id, paneFile(made, false));
            }
            return reason;
        }
        target.bytes = header.size();
        target.dirty = true;
    }
    m_made = true;
    return {};
}

void RecoveryFiles::close()
{
    for (const RecoveryPane pane : {RecoveryPane::Received, RecoveryPane::Send}) {
        dropRewrite(pane);
        closeFd(file(pane).fd);
        file(pane).dirty = false;
    }
    m_folderDirty = false;
}

void RecoveryFiles::awaitRewrites()
{
    for (const RecoveryPane pane : {RecoveryPane::Received, RecoveryPane::Send}) {
        dropRewrite(pane);
        file(pane).awaitsRewrite = true;
    }
}

RecoveryFiles::Result RecoveryFiles::writeAll(int fd, QByteArrayView bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        if (m_abandon.load())
            return Result::Abandoned;
        const size_t slice = size_t(std::min(sliceBytes, bytes.size() - done));
        const ssize_t n = ::write(fd, bytes.constData() + done, slice);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failed(n == 0 ? EIO : errno);
        done += n;
        if (const qint64 pace = writePace.load(); pace > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(n * 1000000 / pace));
    }
    return Result::Done;
}

RecoveryFiles::Result RecoveryFiles::failed(int error)
{
    m_reason = QString::fromLocal8Bit(std::strerror(error));
    return Result::Failed;
}

RecoveryFiles::Result RecoveryFiles::add(RecoveryPane pane, QByteArrayView records)
{
    PaneFile &target = file(pane);
    const bool rewriting = target.fresh >= 0;
    if (records.isEmpty() || (!rewriting && (target.fd < 0 || target.awaitsRewrite)))
        return Result::Done;
    const Result result = writeAll(rewriting ? target.fresh : target.fd, records);
    if (result == Result::Abandoned) {
        // What reached the file may end inside a record: nothing more goes after it, and the
        // whole records before it are still synced.
        if (rewriting)
            dropRewrite(pane);
        target.awaitsRewrite = true;
        target.dirty = target.dirty || !rewriting;
    }
    if (result != Result::Done)
        return result;
    (rewriting ? target.freshBytes : target.bytes) += records.size();
    target.dirty = target.dirty || !rewriting;
    return Result::Done;
}

RecoveryFiles::Result RecoveryFiles::beginRewrite(RecoveryPane pane, qint64 paneLength)
{
    PaneFile &target = file(pane);
    dropRewrite(pane);
    if (!hasRoom(rewriteBytes(pane, paneLength)))
        return failed(ENOSPC);
    {
        std::lock_guard names(m_names);
        if (m_removed)
            return Result::Abandoned;
        target.fresh = m_folder.create(m_id, paneFile(pane, true), O_WRONLY | O_APPEND);
    }
    if (target.fresh < 0)
        return failed(errno);
    target.freshBytes = 0;
    return add(pane, recoveryHeader(pane));
}

RecoveryFiles::Result RecoveryFiles::commitRewrite(RecoveryPane pane, qint64 paneLength)
{
    PaneFile &target = file(pane);
    if (::fdatasync(target.fresh) != 0)
        return failed(errno);
    {
        std::lock_guard names(m_names);
        if (m_removed)
            return Result::Abandoned;
        if (!m_folder.rename(m_id, paneFile(pane, true), paneFile(pane, false)))
            return failed(errno);
    }
    // Only now may the set this pane's text came from go: the rename is on disk.
    if (!m_folder.sync())
        return failed(errno);
    closeFd(target.fd);
    target.fd = std::exchange(target.fresh, -1);
    target.bytes = target.freshBytes;
    target.bytesPerPosition
        = std::clamp(double(target.bytes) / double(std::max<qint64>(paneLength, 1)), 1.0, 4.0);
    target.dirty = false;
    target.awaitsRewrite = false;
    return Result::Done;
}

void RecoveryFiles::dropRewrite(RecoveryPane pane)
{
    PaneFile &target = file(pane);
    if (target.fresh < 0)
        return;
    closeFd(target.fresh);
    std::lock_guard names(m_names);
    if (!m_removed)
        m_folder.remove(m_id, paneFile(pane, true));
}

RecoveryFiles::Result RecoveryFiles::sync()
{
    for (PaneFile &target : m_files) {
        if (target.dirty && target.fd >= 0 && ::fdatasync(target.fd) != 0)
            return failed(errno);
        target.dirty = false;
    }
    if (m_folderDirty && !m_folder.sync())
        return failed(errno);
    m_folderDirty = false;
    return Result::Done;
}

bool RecoveryFiles::isDirty() const
{
    return m_folderDirty || m_files[0].dirty || m_files[1].dirty;
}

bool RecoveryFiles::isOversized(RecoveryPane pane, qint64 paneLength) const
{
    const PaneFile &target = file(pane);
    return takesRecords(pane)
        && double(target.bytes) > 2 * target.bytesPerPosition * double(paneLength) + rewriteSlack;
}

bool RecoveryFiles::takesRecords(RecoveryPane pane) const
{
    return file(pane).fd >= 0 && !file(pane).awaitsRewrite;
}

qint64 RecoveryFiles::rewriteBytes(RecoveryPane pane, qint64 paneLength) const
{
    return recoveryHeader(pane).size() + qint64(file(pane).bytesPerPosition * double(paneLength));
}

bool RecoveryFiles::hasRoom(qint64 bytes) const
{
    struct statvfs disk
    {
    };
    if (::statvfs(QFile::encodeName(m_path).constData(), &disk) != 0)
        return true; // the write itself will tell
    // An estimate, and the user's other programs need a little room too.
    const qint64 wanted = bytes + bytes / 8 + (qint64(1) << 20);
    return double(disk.f_bavail) * double(disk.f_frsize) >= double(wanted);
}

void RecoveryFiles::remove()
{
    std::lock_guard names(m_names);
    m_removed = true;
    if (m_folder.isOpen())
        m_folder.removeSet(m_id, m_lockFd, false);
}
