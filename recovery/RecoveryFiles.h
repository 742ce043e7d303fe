// The files of the set a window writes, as its writer thread keeps them: the lock, one file per
// pane, and a pane's fresh file while it is rewritten. A pane's file is only ever replaced by
// renaming a synced .new over it, never cut short in place.
#pragma once

#include "recovery/RecoveryFolder.h"
#include "recovery/RecoveryRecords.h"

#include <QString>

#include <atomic>
#include <mutex>

class RecoveryFiles
{
public:
    // `abandon` set stops a write between two slices (the set is about to go, or is rebuilt).
    RecoveryFiles(QString folder, QString id, const std::atomic<bool> &abandon);
    ~RecoveryFiles(); // closes the files and the lock; the names stay unless remove() ran
    RecoveryFiles(const RecoveryFiles &) = delete;
    RecoveryFiles &operator=(const RecoveryFiles &) = delete;

    // Opens and checks the folder and takes the lock. The first time, each pane gets a file
    // holding a header; after a failure the panes' files stay as they were, and each pane takes
    // records again only from its next rewrite. The reason on failure.
    QString open();
    // Closes the panes' files; a rewrite under way goes, name and all.
    void close();
    // A pane's records are dropped until its next rewrite: what was written last may be torn.
    void awaitRewrites();

    enum class Result { Done, Abandoned, Failed };
    // Records for the pane: to its rewrite under way, else to its file.
    Result add(RecoveryPane pane, QByteArrayView records);
    // Fails at once, writing nothing, when the disk has no room for the fresh file.
    Result beginRewrite(RecoveryPane pane, qint64 paneLength);
    // The fresh file synced and renamed over the pane's file; `paneLength` is the pane's length
    // in its positions, which later decides when the file has grown past its text.
    Result commitRewrite(RecoveryPane pane, qint64 paneLength);
    Result sync();
    bool isDirty() const;
    // Grown past about twice what the pane's text takes, plus a little: time for a rewrite.
    bool isOversized(RecoveryPane pane, qint64 paneLength) const;
    bool takesRecords(RecoveryPane pane) const;
    // About what a rewrite of the pane at this length takes on disk, as of its last rewrite.
    qint64 rewriteBytes(RecoveryPane pane, qint64 paneLength) const;
    // Whether the folder's disk likely has room for this many bytes and a little more.
    bool hasRoom(qint64 bytes) const;
    QString reason() const { return m_reason; }

    // From any thread: removes every name of the set; nothing makes a name of it afterwards.
    void remove();

    // A disk this many bytes a second slow (0: as fast as it goes), for tests.
    static void setWritePaceForTesting(qint64 bytesPerSecond);

private:
    struct PaneFile
    {
        int fd = -1;
        int fresh = -1; // the rewrite under way, as <id>.<pane>.new
        qint64 bytes = 0;
        qint64 freshBytes = 0;
        double bytesPerPosition = 1.0; // at the last rewrite
        bool dirty = false;
        bool awaitsRewrite = false;
    };

    PaneFile &file(RecoveryPane pane) { return m_files[pane == RecoveryPane::Received ? 0 : 1]; }
    const PaneFile &file(RecoveryPane pane) const
    {
        return m_files[pane == RecoveryPane::Received ? 0 : 1];
    }
    Result writeAll(int fd, QByteArrayView bytes);
    Result failed(int error);
    void dropRewrite(RecoveryPane pane);

    const QString m_path;
    const QString m_id;
    const std::atomic<bool> &m_abandon;
    std::mutex m_names; // makes and removes names; guards m_folder and m_removed
    RecoveryFolder m_folder;
    bool m_removed = false;
    int m_lockFd = -1;
    bool m_made = false; // the panes' first files exist
    bool m_folderDirty = false;
    PaneFile m_files[2];
    QString m_reason;
};
