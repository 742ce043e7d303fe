// Finding, claiming, reading and removing a set left by a window that did not end cleanly.
#include "recovery/RecoveryOrphan.h"

#include "recovery/RecoveryReplay.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype readBlock = 256 * 1024;

} // namespace

bool RecoveryOrphan::Contents::offersNothing() const
{
    return received.isEmpty() && send.isEmpty();
}

std::unique_ptr<RecoveryOrphan> RecoveryOrphan::claimNewest(const QString &folder,
                                                            const std::function<bool()> &stop,
                                                            const std::function<void()> &claimed)
{
    RecoveryFolder opened = RecoveryFolder::open(folder, false);
    if (!opened.isOpen())
        return nullptr; // a folder that cannot be trusted is told by the window's own set
    for (const RecoveryFolder::Set &set : opened.sets()) {
        if (stop && stop())
            return nullptr;
        bool created = false;
        const int fd = opened.claimLock(set.id, created);
        if (fd < 0)
            continue; // its window still lives, or the lock is not a file of ours
        if (RecoveryFolder::isLetGo(fd)) {
            // Declined or restored, and interrupted while it went: what is left goes too.
            opened.removeSet(set.id);
            ::close(fd);
            continue;
        }
        if (claimed)
            claimed();
        std::unique_ptr<RecoveryOrphan> orphan(
            new RecoveryOrphan(std::move(opened), set.id, set.written, fd));
        Contents &contents = orphan->m_contents;
        contents.receivedFile = orphan->read(RecoveryPane::Received, stop);
        contents.sendFile = orphan->read(RecoveryPane::Send, stop);
        const bool stopped = stop && stop();
        if (!stopped && !contents.offersNothing())
            return orphan;
        if (stopped || contents.receivedFile.failed || contents.sendFile.failed) {
            // Left for a later start, as it was found.
            if (created)
                orphan->m_folder.remove(set.id, SetFile::Lock);
            if (stopped)
                return nullptr;
        } else {
            orphan->discard(); // nothing to offer
        }
        opened = std::move(orphan->m_folder);
    }
    return nullptr;
}

RecoveryOrphan::RecoveryOrphan(RecoveryFolder folder, QString id, QDateTime written, int lockFd)
    : m_folder(std::move(folder)), m_id(std::move(id)), m_written(std::move(written)),
      m_lockFd(lockFd)
{ }

RecoveryOrphan::~RecoveryOrphan()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

RecoveryOrphan::Pane RecoveryOrphan::read(RecoveryPane pane, const std::function<bool()> &stop)
{
    Pane out;
    const SetFile name = pane == RecoveryPane::Received ? SetFile::Received : SetFile::Send;
    const int fd = m_folder.openExisting(m_id, name, O_RDONLY);
    if (fd < 0) {
        // A link, a FIFO or another user's file is not ours to read; an error of the system
        // may pass.
        out.unreadable = errno != ENOENT;
        out.failed = errno != ENOENT && errno != ELOOP && errno != EINVAL && errno != EPERM;
        return out;
    }
    struct stat info
    {
    };
    const qint64 size = ::fstat(fd, &info) == 0 ? qint64(info.st_size) : 0;
    RecoveryReplay replay(pane);
    QByteArray block(readBlock, Qt::Uninitialized);
    for (;;) {
        if (stop && stop())
            break;
        const ssize_t n = ::read(fd, block.data(), size_t(block.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            out.failed = true;
        if (n <= 0 || !replay.feed(QByteArrayView(block).first(qsizetype(n))))
            break;
    }
    ::close(fd);
    std::optional<RecoveredPane> replayed = replay.finish(size);
    if (!replayed) {
        // A file that ends inside its header never held a record: nothing was lost.
        out.unreadable = !replay.endedInHeader();
        return out;
    }
    out.unreadBytes = replayed->unreadBytes;
    if (pane == RecoveryPane::Received)
        m_contents.received = std::move(replayed->store);
    else
        m_contents.send = replayed->store.text(0, replayed->store.size(1), 1);
    return out;
}

void RecoveryOrphan::discard()
{
    m_folder.removeSet(m_id, m_lockFd);
}
