// The recovery set's writer thread: its cadence, its failures and rewrites.
#include "recovery/RecoveryWriter.h"

#include <algorithm>

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
        m_rewriting = std::any_of(items.begin(), items.end(), [](const Item &item) {
            return item.kind == RecoveryKind::Snapshot;
        });
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
        if (std::exchange(m_rewriting, false))
            m_rewriteDone = Clock::now();
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
        // What is dropped still tells how large the panes have become (a clear makes room).
        for (const Item &item : items)
            paneLength(item.pane) = item.paneLength;
        if (turn.retry && !turn.stop) {
            // Rebuilding on a disk without room for it would only fill it again.
            if (!m_files.hasRoom(
                    m_files.rewriteBytes(RecoveryPane::Received, paneLength(RecoveryPane::Received))
                    + m_files.rewriteBytes(RecoveryPane::Send, paneLength(RecoveryPane::Send)))) {
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
