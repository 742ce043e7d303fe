// The recovery set's writer thread and its files.
#include "recovery/RecoveryWriter.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Each missing folder on the way made private to the user, as state folders are.
bool makeFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    for (qsizetype at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/')
            continue;
        const QByteArray part = path.first(at);
        if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat info
    {
    };
    if (::stat(path.constData(), &info) != 0)
        return false;
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

int openFile(const QString &path, int flags)
{
    int fd;
    do
        fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, 0600);
    while (fd < 0 && errno == EINTR);
    return fd;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += n;
    }
    return true;
}

// A rename is durable once the folder's own entry list is.
bool syncFolder(const QString &folder)
{
    const int fd = openFile(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

const char *paneSuffix(RecoveryPane pane)
{
    return pane == RecoveryPane::Received ? ".received" : ".send";
}

} // namespace

RecoveryWriter::RecoveryWriter(QString folder, QString id)
    : m_folder(std::move(folder)), m_id(std::move(id))
{ }

RecoveryWriter::~RecoveryWriter()
{
    finish(false);
}

QString RecoveryWriter::path(const QString &suffix) const
{
    return m_folder + u'/' + m_id + suffix;
}

QString RecoveryWriter::create()
{
    closeFiles();
    if (!makeFolder(m_folder))
        return systemReason(errno);
    if (m_lockFd < 0) {
        m_lockFd = openFile(path(QStringLiteral(".lock")), O_RDWR | O_CREAT);
        if (m_lockFd < 0)
            return systemReason(errno);
        if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(m_lockFd);
            m_lockFd = -1;
            return systemReason(error);
        }
    }
    for (const RecoveryPane pane : {RecoveryPane::Received, RecoveryPane::Send}) {
        PaneFile &target = file(pane);
        target.fd = openFile(path(QLatin1StringView(paneSuffix(pane))),
                             O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
        if (target.fd < 0 || !writeAll(target.fd, recoveryHeader(pane))
            || ::fdatasync(target.fd) != 0) {
            const QString reason = systemReason(errno);
            closeFiles();
            return reason;
        }
    }
    if (!syncFolder(m_folder)) {
        const QString reason = systemReason(errno);
        closeFiles();
        return reason;
    }
    m_lastSync = Clock::now();
    return {};
}

void RecoveryWriter::run(const QString &failure)
{
    if (!failure.isEmpty())
        fail(failure);
    m_thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "kavrel-recovery");
        loop();
    });
}

void RecoveryWriter::push(Item item)
{
    std::lock_guard lock(m_mutex);
    m_queuedBytes += item.text.size();
    m_queue.push_back(std::move(item));
    if (m_idle || m_queuedBytes >= wakeBytes)
        m_wake.notify_one();
}

void RecoveryWriter::pushAppend(RecoveryPane pane, QStringView text)
{
    const QByteArray utf8 = text.toUtf8();
    std::lock_guard lock(m_mutex);
    if (m_queue.empty() || m_queue.back().kind != RecoveryKind::Append
        || m_queue.back().pane != pane || m_queue.back().text.size() >= maxJoined
        || (m_queue.back().text.endsWith('\r') && utf8.startsWith('\n')))
        m_queue.push_back({pane, RecoveryKind::Append, 0, 0, {}});
    m_queue.back().text.append(utf8);
    m_queuedBytes += utf8.size();
    if (m_idle || m_queuedBytes >= wakeBytes)
        m_wake.notify_one();
}

void RecoveryWriter::syncNow()
{
    std::unique_lock lock(m_mutex);
    if (!m_thread.joinable() || m_stop)
        return;
    const quint64 ticket = ++m_syncAsked;
    m_wake.notify_one();
    m_synced.wait(lock, [&] { return m_syncDone >= ticket || m_stop; });
}

void RecoveryWriter::finish(bool remove)
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_remove = m_remove || remove;
        m_wake.notify_one();
        m_synced.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    if (remove) {
        closeFiles();
        for (const char *suffix : {".received", ".send", ".received.new", ".send.new", ".lock"})
            ::unlink(QFile::encodeName(path(QLatin1StringView(suffix))).constData());
    }
    closeFiles();
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

void RecoveryWriter::loop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        const Clock::time_point now = Clock::now();
        const bool dirty = file(RecoveryPane::Received).dirty || file(RecoveryPane::Send).dirty;
        const bool syncDue = dirty && now >= m_lastSync + syncInterval;
        const bool retryDue = m_failed && now >= m_retryAt;
        const bool batchDue = !m_queue.empty()
            && (now >= m_lastBatch + batchInterval || m_queuedBytes >= wakeBytes);
        if (!m_stop && m_syncAsked == m_syncDone && !syncDue && !retryDue && !batchDue) {
            // Records gather for a moment, so a fast receive costs few wake-ups and writes.
            Clock::time_point until = Clock::time_point::max();
            if (!m_queue.empty())
                until = m_lastBatch + batchInterval;
            if (m_failed)
                until = std::min(until, m_retryAt);
            else if (dirty)
                until = std::min(until, m_lastSync + syncInterval);
            m_idle = until == Clock::time_point::max();
            if (m_idle)
                m_wake.wait(lock);
            else
                m_wake.wait_until(lock, until);
            m_idle = false;
            continue;
        }
        m_lastBatch = now;
        std::vector<Item> items;
        items.swap(m_queue);
        m_queuedBytes = 0;
        const quint64 asked = m_syncAsked;
        const bool stop = m_stop;
        const bool remove = m_remove;
        lock.unlock();

        if (remove) {
            items.clear();
        } else if (m_failed) {
            items.clear();
            if (retryDue && !stop) {
                if (const QString reason = create(); reason.isEmpty()) {
                    m_failed = false;
                    onRecovered();
                } else {
                    m_retryAt = Clock::now() + retryInterval;
                }
            }
        } else {
            write(items);
            items.clear(); // a snapshot's store is let go here, not under the lock
            const bool nowDirty
                = file(RecoveryPane::Received).dirty || file(RecoveryPane::Send).dirty;
            if (!m_failed && nowDirty
                && (asked != m_syncDone || stop || Clock::now() >= m_lastSync + syncInterval)) {
                if (const QString reason = sync(); !reason.isEmpty())
                    fail(reason);
            }
        }

        lock.lock();
        m_syncDone = asked;
        m_synced.notify_all();
        if (stop && m_queue.empty())
            return;
    }
}

void RecoveryWriter::write(std::vector<Item> &items)
{
    for (const RecoveryPane pane : {RecoveryPane::Received, RecoveryPane::Send}) {
        // A restart makes everything before it in the batch moot.
        std::optional<QByteArray> restart;
        QByteArray records;
        QByteArrayList appended;
        const auto flushAppended = [&] {
            records.append(recoveryAppends(appended));
            appended.clear();
        };
        for (Item &item : items) {
            if (item.pane != pane)
                continue;
            switch (item.kind) {
            case RecoveryKind::Append:
                appended.append(std::move(item.text));
                break;
            case RecoveryKind::Edit:
                flushAppended();
                records.append(recoveryEdit(item.from, item.to, QByteArrayView(item.text)));
                break;
            case RecoveryKind::Snapshot:
                appended.clear();
                records.clear();
                restart = item.store ? recoverySnapshot(*item.store)
                                     : recoveryRecord(RecoveryKind::Snapshot, item.text);
                break;
            case RecoveryKind::Header:
                break;
            }
        }
        flushAppended();
        if (const QString reason = writePane(pane, records, restart); !reason.isEmpty())
            return fail(reason);
    }
}

QString RecoveryWriter::writePane(RecoveryPane pane, const QByteArray &records,
                                  const std::optional<QByteArray> &restart)
{
    PaneFile &target = file(pane);
    if (!restart) {
        if (records.isEmpty())
            return {};
        target.dirty = true;
        return writeAll(target.fd, records) ? QString() : systemReason(errno);
    }
    // A new file takes the old one's place only once it is whole on disk.
    const QString name = path(QLatin1StringView(paneSuffix(pane)));
    const QString fresh = name + QStringLiteral(".new");
    const int fd = openFile(fresh, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
    if (fd < 0)
        return systemReason(errno);
    if (!writeAll(fd, recoveryHeader(pane) + *restart + records) || ::fdatasync(fd) != 0
        || ::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(name).constData()) != 0
        || !syncFolder(m_folder)) {
        const QString reason = systemReason(errno);
        ::close(fd);
        return reason;
    }
    ::close(target.fd);
    target.fd = fd;
    target.dirty = false;
    return {};
}

QString RecoveryWriter::sync()
{
    for (PaneFile &target : m_files) {
        if (target.dirty && ::fdatasync(target.fd) != 0)
            return systemReason(errno);
        target.dirty = false;
    }
    ++m_syncs;
    m_lastSync = Clock::now();
    return {};
}

void RecoveryWriter::fail(const QString &reason)
{
    closeFiles();
    m_failed = true;
    m_retryAt = Clock::now() + retryInterval;
    if (onFailed)
        onFailed(reason);
}

void RecoveryWriter::closeFiles()
{
    for (PaneFile &target : m_files) {
        if (target.fd >= 0)
            ::close(target.fd);
        target = PaneFile();
    }
}
