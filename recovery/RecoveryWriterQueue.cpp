// The recovery set's writer, from the window's side: its queue and its bounds, syncs asked for,
// and the thread's start and end.
#include "recovery/RecoveryWriter.h"

#include <algorithm>
#include <pthread.h>

namespace {

std::atomic<qsizetype> queueLimit {qsizetype(64) << 20};

// A rewrite's text is not counted: it replaces whatever waited for its pane, and the received
// pane's shares the pane's own memory.
qsizetype costOf(const RecoveryWriter::Item &item)
{
    return item.kind == RecoveryKind::Snapshot ? 0 : item.text.size();
}

} // namespace

qsizetype RecoveryWriter::queueBound()
{
    return queueLimit.load();
}

void RecoveryWriter::setQueueBoundForTesting(qsizetype bytes)
{
    queueLimit = bytes;
}

RecoveryWriter::RecoveryWriter(QString folder, QString id)
    : m_files(std::move(folder), std::move(id), m_abandon)
{ }

RecoveryWriter::~RecoveryWriter()
{
    finish(false);
}

void RecoveryWriter::run(const QString &failure)
{
    if (!failure.isEmpty())
        fail(failure);
    m_thread = std::thread([self = shared_from_this()] {
        pthread_setname_np(pthread_self(), "kavrel-recovery");
        self->loop();
    });
}

RecoveryWriter::Pushed RecoveryWriter::push(Item item)
{
    std::vector<Item> dropped; // let go after the lock
    std::lock_guard lock(m_mutex);
    if (item.kind == RecoveryKind::Snapshot) {
        // Whatever waits for the pane is moot once its rewrite is queued.
        for (auto at = m_queue.begin(); at != m_queue.end();) {
            if (at->pane != item.pane) {
                ++at;
                continue;
            }
            m_queuedBytes -= costOf(*at);
            dropped.push_back(std::move(*at));
            at = m_queue.erase(at);
        }
    } else if (isPastBound(item.text.size())) {
        dropped.swap(m_queue);
        return overflow();
    }
    const bool wasEmpty = m_queue.empty();
    if (wasEmpty)
        m_firstQueued = Clock::now();
    m_queuedBytes += costOf(item);
    m_queue.push_back(std::move(item));
    if (wasEmpty || m_queuedBytes >= wakeBytes)
        m_wake.notify_one();
    return Pushed::Queued;
}

RecoveryWriter::Pushed RecoveryWriter::pushAppend(RecoveryPane pane, QStringView text,
                                                  qint64 paneLength)
{
    QByteArray utf8 = recoveryUtf8(text);
    {
        std::lock_guard lock(m_mutex);
        if (!m_queue.empty()) {
            Item &last = m_queue.back();
            if (last.kind == RecoveryKind::Append && last.pane == pane
                && last.text.size() < maxJoined
                && !(last.text.endsWith('\r') && utf8.startsWith('\n'))
                && !isPastBound(utf8.size())) {
                last.text.append(utf8);
                last.paneLength = paneLength;
                m_queuedBytes += utf8.size();
                if (m_queuedBytes >= wakeBytes)
                    m_wake.notify_one();
                return Pushed::Queued;
            }
        }
    }
    return push({.pane = pane,
                 .kind = RecoveryKind::Append,
                 .text = std::move(utf8),
                 .paneLength = paneLength});
}

RecoveryWriter::Pushed RecoveryWriter::overflow()
{
    m_queuedBytes = 0;
    m_overflow = true;
    m_reportSynced = false; // what it was asked for may be among what is dropped
    m_abandon = true; // what is being written now is rebuilt too
    m_wake.notify_one();
    return std::exchange(m_spell, true) ? Pushed::Dropped : Pushed::Overflowed;
}

bool RecoveryWriter::isPastBound(qsizetype adding) const
{
    if (m_queuedBytes + m_writingBytes + adding > queueBound())
        return true;
    // However little waits, a set minutes behind keeps nothing safe: the user must know.
    if (m_rewriting || (!m_writing && m_queue.empty()))
        return false;
    const Clock::time_point oldest = m_writing ? m_writingSince : m_firstQueued;
    return Clock::now() - std::max(oldest, m_rewriteDone) > lagBound;
}

void RecoveryWriter::syncNow()
{
    std::unique_lock lock(m_mutex);
    if (!m_thread.joinable() || m_stop)
        return;
    const quint64 ticket = ++m_syncAsked;
    m_wake.notify_one();
    m_synced.wait(lock, [&] { return m_syncDone >= ticket || m_exited; });
}

void RecoveryWriter::askSynced()
{
    std::lock_guard lock(m_mutex);
    ++m_syncAsked;
    m_reportSynced = true;
    m_wake.notify_one();
}

qsizetype RecoveryWriter::queuedBytes()
{
    std::lock_guard lock(m_mutex);
    return m_queuedBytes + m_writingBytes;
}

void RecoveryWriter::finish(bool remove)
{
    std::vector<Item> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_silent = true;
        if (remove) {
            m_remove = true;
            m_abandon = true;
            dropped.swap(m_queue);
            m_queuedBytes = 0;
        }
        m_wake.notify_one();
        m_synced.notify_all();
    }
    // The files go now: the writer may be in the middle of a slow write of what they held.
    if (remove)
        m_files.remove();
    if (!m_thread.joinable())
        return;
    if (remove) {
        std::unique_lock lock(m_mutex);
        if (!m_synced.wait_for(lock, removalWait, [&] { return m_exited; })) {
            // A sync of a slow disk cannot be cut short; the thread ends once it returns and
            // keeps the writer alive until then.
            m_thread.detach();
            return;
        }
    }
    m_thread.join();
}

void RecoveryWriter::endWithin(std::chrono::milliseconds within)
{
    std::vector<Item> dropped; // let go after the lock
    std::unique_lock lock(m_mutex);
    m_stop = true;
    m_silent = true;
    m_wake.notify_one();
    m_synced.notify_all();
    if (!m_thread.joinable())
        return;
    if (!m_synced.wait_for(lock, within, [&] { return m_exited; })) {
        // A torn record at a file's end hides nothing before it, and nothing follows it.
        m_cut = true;
        m_abandon = true;
        dropped.swap(m_queue);
        m_queuedBytes = 0;
        if (!m_synced.wait_for(lock, cutWait, [&] { return m_exited; })) {
            lock.unlock();
            m_thread.detach();
            return;
        }
    }
    lock.unlock();
    m_thread.join();
}

void RecoveryWriter::call(const std::function<void()> &callback)
{
    std::lock_guard lock(m_mutex);
    if (!m_silent)
        callback();
}
