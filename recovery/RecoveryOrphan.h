// A recovery file set left behind by a window that did not end through its exit path.
#pragma once

#include "panes/lines/LineStore.h"

#include <QDateTime>
#include <QString>

#include <memory>

class RecoveryOrphan
{
public:
    // The newest set in the folder whose lock is free and that holds anything (a record past
    // a pane's header); takes its lock, held until this object dies, so no other window offers
    // it. Free sets that hold nothing are removed on the way. nullptr when none. Files whose
    // names are not a set's, and sets whose files cannot be read, are left alone.
    static std::unique_ptr<RecoveryOrphan> claimNewest(const QString &folder);

    RecoveryOrphan(const RecoveryOrphan &) = delete;
    RecoveryOrphan &operator=(const RecoveryOrphan &) = delete;
    ~RecoveryOrphan(); // releases the lock; the files stay

    QDateTime lastWritten() const; // newest modification time of its files
    QString id() const { return m_id; }

    // Reads both panes (may be called on a worker thread). The send pane's line breaks are LF.
    struct Contents
    {
        LineStore received = LineStore();
        QString send;
        bool whole = true; // false: a torn or damaged tail of a file was dropped
    };
    Contents read() const;

    // Removes its files (after Yes once restored, or after No).
    void discard();

private:
    RecoveryOrphan(QString folder, QString id, int lockFd);
    QString path(const char *suffix) const;

    QString m_folder;
    QString m_id;
    int m_lockFd = -1;
};
