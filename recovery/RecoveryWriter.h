// The recovery set's files and the thread that writes them: records are written as they come
// and synced at most once a second; a failure stops writing until the set can be made again.
#pragma once

#include "panes/lines/LineStore.h"
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

struct RecoveryWriter
{
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds syncInterval {1};
    static constexpr std::chrono::seconds retryInterval {3};
    static constexpr std::chrono::milliseconds batchInterval {50};
    static constexpr qsizetype maxJoined = 1 << 20; // bytes in one queued append
    // Queued bytes that wake the writer before the batch interval ends, so a fast receive
    // keeps little text waiting in memory besides the pane's own.
    static constexpr qsizetype wakeBytes = 256 * 1024;

    struct Item
    {
        RecoveryPane pane;
        RecoveryKind kind;
        qint64 from = 0;
        qint64 to = 0;
        QByteArray text; // UTF-8
        std::optional<LineStore> store = std::nullopt; // a received pane's Snapshot
    };

    RecoveryWriter(QString folder, QString id);
    ~RecoveryWriter();

    // Makes the folder and the set from scratch; the system's reason on failure.
    QString create();
    // Starts the thread, failed with the reason when it is not empty.
    void run(const QString &failure);
    void push(Item item);
    // An append joins the one queued before it when they replay the same as one.
    void pushAppend(RecoveryPane pane, QStringView text);
    void syncNow();
    // Stops the thread: after writing and syncing, or dropping everything and removing the set.
    void finish(bool remove);
    bool isWriting() const { return !m_failed.load(); }
    quint64 syncCount() const { return m_syncs.load(); }

    std::function<void(const QString &)> onFailed; // called on the writer thread
    std::function<void()> onRecovered;

private:
    struct PaneFile
    {
        int fd = -1;
        bool dirty = false;
    };

    QString path(const QString &suffix) const;
    void loop();
    void write(std::vector<Item> &items);
    QString writePane(RecoveryPane pane, const QByteArray &records,
                      const std::optional<QByteArray> &restart);
    QString sync();
    void fail(const QString &reason);
    void closeFiles();
    PaneFile &file(RecoveryPane pane) { return m_files[pane == RecoveryPane::Received ? 0 : 1]; }

    const QString m_folder;
    const QString m_id;
    std::thread m_thread;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_synced;
    std::vector<Item> m_queue;
    qsizetype m_queuedBytes = 0;
    quint64 m_syncAsked = 0;
    quint64 m_syncDone = 0;
    bool m_stop = false;
    bool m_remove = false;
    bool m_idle = false; // waiting for records with no deadline

    // The writer thread's own (and create()'s before the thread starts).
    int m_lockFd = -1;
    PaneFile m_files[2];
    Clock::time_point m_lastSync {};
    Clock::time_point m_lastBatch {};
    Clock::time_point m_retryAt {};
    std::atomic<bool> m_failed {false};
    std::atomic<quint64> m_syncs {0};
};
