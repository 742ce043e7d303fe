// The recovery set's writer thread: its queue, its cadence, its failures and rewrites.
#include "recovery/RecoveryWriter.h"

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
    QByteArray utf8 = text.toUtf8();
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
    const bool waiting = m_writing || !m_queue.empty();
    return waiting && Clock::now() - (m_writing ? m_writingSince : m_firstQueued) > lagBound;
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

void RecoveryWriter::loop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        const Clock::time_point now = Clock::now();
        const bool dirty = !m_failed && m_files.isDirty();
        const bool syncDue = dirty && now >= m_lastSync + syncInterval;
        const bool retryDue = m_failed && now >= m_retryAt;
        const bool batchDue = !m_queue.empty()
            && (now >= m_firstQueued + batchInterval || m_queuedBytes >= wakeBytes);
        if (!m_stop && !m_overflow && m_syncAsked == m_syncDone && !syncDue && !retryDue
            && !batchDue) {
            // Records gather for a moment, so a fast receive costs few wake-ups and writes.
            Clock::time_point until = Clock::time_point::max();
            if (!m_queue.empty())
                until = m_firstQueued + batchInterval;
            if (m_failed)
                until = std::min(until, m_retryAt);
            else if (dirty)
                until = std::min(until, m_lastSync + syncInterval);
            if (until == Clock::time_point::max())
                m_wake.wait(lock);
            else
                m_wake.wait_until(lock, until);
            continue;
        }
        std::vector<Item> items;
        items.swap(m_queue);
        m_writingBytes = std::exchange(m_queuedBytes, 0);
        m_writing = !items.empty();
        m_writingSince = m_firstQueued;
        const quint64 asked = m_syncAsked;
        const bool report = std::exchange(m_reportSynced, false);
        const bool stop = m_stop;
        const bool remove = m_remove;
        const bool overflowed = std::exchange(m_overflow, false);
        if (overflowed && !remove && !m_cut)
            m_abandon = false;
        lock.unlock();

        if (!remove)
            work(items,
                 {.asked = asked,
                  .report = report,
                  .stop = stop,
                  .retry = retryDue,
                  .overflowed = overflowed});
        items.clear(); // a snapshot's store is let go here, not under the lock

        lock.lock();
        m_writingBytes = 0;
        m_writing = false;
        m_syncDone = asked;
        m_synced.notify_all();
        if (stop && m_queue.empty()) {
            m_exited = true;
            m_synced.notify_all();
            return;
        }
    }
}

void RecoveryWriter::work(std::vector<Item> &items, const Turn &turn)
{
    if (turn.overflowed) {
        // The disk has caught up with what it could: both panes are written afresh.
        m_files.awaitRewrites();
        startSpell();
        call([this] { onRecovered(); });
    }
    if (m_failed) {
        if (turn.retry && !turn.stop) {
            // Rebuilding on a disk without room for it would only fill it again.
            if (!m_files.hasRoom(m_files.rewriteBytes(RecoveryPane::Received,
                                                      paneLength(RecoveryPane::Received))
                                 + m_files.rewriteBytes(RecoveryPane::Send,
                                                        paneLength(RecoveryPane::Send)))) {
                m_retryAt = Clock::now() + retryInterval;
                return;
            }
            if (const QString reason = m_files.open(); reason.isEmpty()) {
                m_failed = false;
                startSpell();
                call([this] { onRecovered(); });
            } else {
                m_retryAt = Clock::now() + retryInterval;
            }
        }
        return;
    }
    bool complete = true; // nothing abandoned
    for (const RecoveryPane pane : {RecoveryPane::Received, RecoveryPane::Send}) {
        if (!writePane(pane, items)) {
            if (m_failed)
                return;
            complete = false;
        }
    }
    if (m_files.isDirty()
        && (turn.asked != m_syncDone || turn.stop || turn.report
            || Clock::now() >= m_lastSync + syncInterval)) {
        if (!handle(m_files.sync()))
            return;
        ++m_syncs;
        m_lastSync = Clock::now();
    }
    if (m_failed)
        return;
    if (turn.report && complete)
        call([this] { onSynced(); });
    for (const RecoveryPane pane : {RecoveryPane::Received, RecoveryPane::Send}) {
        bool &asked = m_rewriteAsked[pane == RecoveryPane::Received ? 0 : 1];
        if (!asked && m_files.isOversized(pane, paneLength(pane))) {
            asked = true;
            call([this, pane] { onRewriteDue(pane); });
        }
    }
}

bool RecoveryWriter::writePane(RecoveryPane pane, std::vector<Item> &items)
{
    // A rewrite makes everything before it in the batch moot.
    size_t first = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].pane == pane && items[i].kind == RecoveryKind::Snapshot)
            first = i;
    }
    QByteArrayList appended;
    qsizetype appendedBytes = 0;
    const auto flush = [&] {
        if (appended.isEmpty())
            return true;
        const QByteArray records = recoveryAppends(appended);
        appended.clear();
        appendedBytes = 0;
        return handle(m_files.add(pane, records));
    };
    bool rewriting = false;
    for (size_t i = first; i < items.size(); ++i) {
        Item &item = items[i];
        if (item.pane != pane)
            continue;
        paneLength(pane) = item.paneLength;
        if (item.kind == RecoveryKind::Append) {
            appendedBytes += item.text.size();
            appended.append(std::move(item.text));
            if (appendedBytes >= maxJoined && !flush())
                return false;
        } else if (item.kind == RecoveryKind::Edit) {
            if (!flush()
                || !handle(m_files.add(
                    pane, recoveryEdit(pane, item.from, item.to, QByteArrayView(item.text)))))
                return false;
        } else if (item.kind == RecoveryKind::Snapshot) {
            rewriting = true;
            if (!handle(m_files.beginRewrite(pane, item.paneLength)))
                return false;
            RecoveryFiles::Result result = RecoveryFiles::Result::Done;
            const RecoverySink sink = [&](QByteArrayView records) {
                result = m_files.add(pane, records);
                return result == RecoveryFiles::Result::Done;
            };
            if (item.store)
                recoverySnapshot(*item.store, sink);
            else
                recoverySnapshot(QByteArrayView(item.text), sink);
            item.store.reset();
            item.text.clear();
            if (!handle(result))
                return false;
        }
    }
    if (!flush())
        return false;
    if (!rewriting)
        return true;
    if (!handle(m_files.commitRewrite(pane, paneLength(pane))))
        return false;
    const int index = pane == RecoveryPane::Received ? 0 : 1;
    m_rewriteAsked[index] = false;
    m_rewritten[index] = true;
    if (m_rewritten[0] && m_rewritten[1]) {
        m_failures = 0;
        std::lock_guard lock(m_mutex);
        m_spell = false;
    }
    return true;
}

bool RecoveryWriter::handle(RecoveryFiles::Result result)
{
    if (result == RecoveryFiles::Result::Failed)
        fail(m_files.reason());
    return result == RecoveryFiles::Result::Done;
}

void RecoveryWriter::startSpell()
{
    m_rewriteAsked[0] = m_rewriteAsked[1] = false;
    m_rewritten[0] = m_rewritten[1] = false;
}

void RecoveryWriter::fail(const QString &reason)
{
    m_files.close();
    m_failed = true;
    // A rebuild the disk keeps refusing (a quota, a full disk that reports room) is tried less
    // and less often, so it does not keep the disk full.
    m_retryAt = Clock::now() + retryInterval * (1 << std::min(m_failures++, 3));
    bool begins = false;
    {
        std::lock_guard lock(m_mutex);
        begins = !std::exchange(m_spell, true);
        m_reportSynced = false; // asked again once the set is made again
    }
    startSpell();
    if (begins)
        call([this, &reason] { onFailed(reason); });
}
