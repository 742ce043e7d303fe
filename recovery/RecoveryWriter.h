// The thread that writes a window's recovery set: records are written at most 50 ms after they
// are handed over and synced at most once a second; a failure stops writing until the set can be
// made again, and a disk too slow for the panes drops what waits rather than fill memory or fall
// minutes behind.
#pragma once

#include "panes/lines/LineStore.h"
#include "recovery/RecoveryFiles.h"
#include "recovery/RecoveryRecords.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct RecoveryWriter : std::enable_shared_from_this<RecoveryWriter>
{
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds syncInterval {1};
    static constexpr std::chrono::seconds retryInterval {3};
    // A change not on disk after this long: the set has fallen behind, as with a full queue.
    static constexpr std::chrono::seconds lagBound {5};
    // How long the program ending by a signal waits for the writer, and then for its last sync.
    static constexpr std::chrono::seconds endWait {3};
    static constexpr std::chrono::seconds cutWait {1};
    static constexpr std::chrono::milliseconds batchInterval {50};
    static constexpr qsizetype maxJoined = 1 << 20; // bytes in one queued append
    // Queued bytes that wake the writer before the batch interval ends, so a fast receive
    // keeps little text waiting in memory besides the pane's own.
    static constexpr qsizetype wakeBytes = 256 * 1024;
    // How long the exit path waits for the writer before leaving it to end on its own.
    static constexpr std::chrono::milliseconds removalWait {120};

    // Changes not yet on disk beyond this are dropped and the panes rebuilt (64 MiB; tests set
    // it small).
    static qsizetype queueBound();
    static void setQueueBoundForTesting(qsizetype bytes);

    struct Item
    {
        RecoveryPane pane;
        RecoveryKind kind; // Append, Edit, or Snapshot for a rewrite
        qint64 from = 0;
        qint64 to = 0;
        QByteArray text = QByteArray(); // UTF-8
        qint64 paneLength = 0; // the pane's length after the change
        std::optional<LineStore> store = std::nullopt; // a received pane's Snapshot
    };
    enum class Pushed { Queued, Dropped, Overflowed };

    RecoveryWriter(QString folder, QString id);
    ~RecoveryWriter();
    RecoveryWriter(const RecoveryWriter &) = delete;
    RecoveryWriter &operator=(const RecoveryWriter &) = delete;

    // Makes the folder and the set; the reason on failure. Before run() only.
    QString create() { return m_files.open(); }
    // Starts the thread, failed with the reason when it is not empty.
    void run(const QString &failure);
    // Overflowed: this change found the queue full or the set behind, and a spell without
    // recovery begins, which the caller tells (Dropped: again during one).
    Pushed push(Item item);
    // An append joins the one queued before it when they replay the same as one.
    Pushed pushAppend(RecoveryPane pane, QStringView text, qint64 paneLength);
    // Blocks until everything handed over is written and synced.
    void syncNow();
    // onSynced follows once everything handed over is written and synced, unless a failure
    // drops it first.
    void askSynced();
    // Stops the thread: after writing and syncing, or dropping everything and removing the set
    // at once, without waiting for writes of what is removed.
    void finish(bool remove);
    // Stops the thread, keeping the files: after writing and syncing within `within`; past it,
    // what is being written stops between two slices, what waits is dropped, what reached the
    // files is synced (at most cutWait more), and the thread is left to end on its own.
    void endWithin(std::chrono::milliseconds within);
    bool isWriting() const { return !m_failed.load(); }
    quint64 syncCount() const { return m_syncs.load(); }
    qsizetype queuedBytes(); // handed over and not yet on disk

    // Called on the writer thread, or by the first run() on the caller's; never after finish().
    std::function<void(const QString &)> onFailed; // a spell without recovery begins
    std::function<void()> onRecovered; // the set takes records again: rewrite both panes
    std::function<void()> onSynced;
    std::function<void(RecoveryPane)> onRewriteDue; // the pane's file grew past its text

private:
    // What one turn of the loop took, with the queue, from the window's side.
    struct Turn
    {
        quint64 asked = 0;
        bool report = false;
        bool stop = false;
        bool retry = false;
        bool overflowed = false;
    };
    Pushed overflow(); // with m_mutex held
    bool isPastBound(qsizetype adding) const; // with m_mutex held
    void loop();
    void work(std::vector<Item> &items, const Turn &turn);
    bool writePane(RecoveryPane pane, std::vector<Item> &items);
    bool handle(RecoveryFiles::Result result);
    void startSpell();
    void fail(const QString &reason);
    void call(const std::function<void()> &callback);
    qint64 &paneLength(RecoveryPane pane)
    {
        return m_paneLength[pane == RecoveryPane::Received ? 0 : 1];
    }

    std::atomic<bool> m_abandon {false};
    RecoveryFiles m_files;
    std::thread m_thread;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_synced;
    std::vector<Item> m_queue;
    qsizetype m_queuedBytes = 0;
    qsizetype m_writingBytes = 0; // taken by the writer and not yet written
    Clock::time_point m_firstQueued {};
    Clock::time_point m_writingSince {}; // when the oldest change being written was queued
    bool m_writing = false;
    // A rewrite takes as long as the pane is large: the changes behind it are not counted as
    // fallen behind until it is done.
    bool m_rewriting = false;
    Clock::time_point m_rewriteDone {};
    quint64 m_syncAsked = 0;
    quint64 m_syncDone = 0;
    bool m_reportSynced = false;
    bool m_stop = false;
    bool m_remove = false;
    bool m_overflow = false; // the queue was dropped: rebuild once the disk has caught up
    bool m_spell = false; // from a failure or an overflow until both panes are rewritten
    bool m_silent = false; // finish() ran: no more callbacks
    bool m_cut = false; // endWithin() ran out of time: nothing more is written
    bool m_exited = false;

    // The writer thread's own.
    Clock::time_point m_lastSync {};
    Clock::time_point m_retryAt {};
    int m_failures = 0; // in this spell: each one waits longer before the next try
    qint64 m_paneLength[2] = {};
    bool m_rewriteAsked[2] = {};
    bool m_rewritten[2] = {}; // during a spell
    std::atomic<bool> m_failed {false};
    std::atomic<quint64> m_syncs {0};
};
