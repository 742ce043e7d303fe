// A recovery file set left behind by a window that did not end through its exit path.
#pragma once

#include "panes/lines/LineStore.h"
#include "recovery/RecoveryFolder.h"
#include "recovery/RecoveryRecords.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>

class RecoveryOrphan
{
public:
    // What one pane's file gave back.
    struct Pane
    {
        bool unreadable = false; // the file is there but nothing of it could be used
        qint64 unreadBytes = 0; // of a file that could be used: its damaged or torn tail
        bool failed = false; // reading it failed (an error of the system, not of the file)
    };
    struct Contents
    {
        LineStore received = LineStore();
        QString send; // line breaks are LF
        Pane receivedFile;
        Pane sendFile;
        bool offersNothing() const;
    };

    // The newest set in the folder that offers something, claimed and read on the calling
    // thread (a worker: the folder may be slow). Its lock is held until the object dies, so no
    // other window offers it. Sets whose lock is free and that offer nothing are removed on
    // the way, unless a file of theirs failed to be read. Nothing when the folder is missing,
    // not to be trusted, or when `stop` says so between sets and reads. `claimed` is called
    // each time a set is claimed, before it is read.
    static std::unique_ptr<RecoveryOrphan> claimNewest(const QString &folder,
                                                       const std::function<bool()> &stop = {},
                                                       const std::function<void()> &claimed = {});

    RecoveryOrphan(const RecoveryOrphan &) = delete;
    RecoveryOrphan &operator=(const RecoveryOrphan &) = delete;
    ~RecoveryOrphan(); // releases the lock; the files stay

    QDateTime lastWritten() const { return m_written; }
    QString id() const { return m_id; }
    const Contents &contents() const { return m_contents; }
    Contents takeContents() { return std::move(m_contents); }

    // Removes its files (after No, or once what Yes restored is safe in another set).
    void discard();

private:
    RecoveryOrphan(RecoveryFolder folder, QString id, QDateTime written, int lockFd);
    Pane read(RecoveryPane pane, const std::function<bool()> &stop);

    RecoveryFolder m_folder;
    QString m_id;
    QDateTime m_written;
    int m_lockFd = -1;
    Contents m_contents;
};
