// The recovery folder, opened once as a descriptor and checked, and the files of its sets,
// reached only relative to that descriptor: a path checked and then opened again could be
// swapped for a link in between, a descriptor cannot.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringView>

#include <vector>

// The names of a set: <id>.lock, .received and .send, and the same with .new while one is made.
// A lock is made as .lock.making, a name no one looks for, and is put in place locked; an
// older version made it as .lock.new.
enum class SetFile { Lock, Received, Send, LockNew, ReceivedNew, SendNew, LockMaking };

class RecoveryFolder
{
public:
    RecoveryFolder() = default;
    RecoveryFolder(RecoveryFolder &&other) noexcept;
    RecoveryFolder &operator=(RecoveryFolder &&other) noexcept;
    RecoveryFolder(const RecoveryFolder &) = delete;
    RecoveryFolder &operator=(const RecoveryFolder &) = delete;
    ~RecoveryFolder();

    // Opens the folder, making it (0700, and any missing folder above it) when asked. It is used
    // only when it is a real folder, not a link, the user's own, and closed to others' writes;
    // otherwise problem() says what is wrong with it and what to do, in the user's words.
    static RecoveryFolder open(const QString &path, bool create);
    bool isOpen() const { return m_fd >= 0; }
    bool isMissing() const { return m_missing; } // it does not exist and was not to be made
    QString path() const { return m_path; }
    QString problem() const { return m_problem; }

    // kavrel-<pid>-<16 hex digits>: the only names this folder's code creates, renames or removes.
    static bool isSetId(QStringView id);

    // A new file of a set (0600), never through a link; a leftover .new is replaced. -1 and
    // errno on failure.
    int create(const QString &id, SetFile file, int flags = 0) const;
    // An existing file of a set, without following a link or waiting on a FIFO, and only when it
    // is a regular file of the user's alone: else -1 and errno (ELOOP a link, EINVAL not a
    // regular file, EPERM another user's, writable by others or with another name elsewhere,
    // ENOENT none).
    int openExisting(const QString &id, SetFile file, int flags) const;
    bool rename(const QString &id, SetFile from, SetFile to) const;
    void remove(const QString &id, SetFile file) const;
    // Every name of the set, its lock last. Given the set's lock (held), the lock is first
    // marked as let go, so a set interrupted while it goes never offers a part of itself; the
    // mark is synced unless the caller must not wait for the disk (it then outlives a kill,
    // not a power cut).
    void removeSet(const QString &id, int lockFd = -1, bool syncMark = true) const;
    // Whether a lock was marked by removeSet: what is left of its set is to go, not to be offered.
    static bool isLetGo(int lockFd);
    // A rename or a new name is durable once the folder itself is synced.
    bool sync() const;

    // The lock of a set this process starts: made under a name no one claims, locked and only
    // then given the set's lock name, so no other window ever finds it free. -1 and errno on
    // failure.
    int takeLock(const QString &id) const;
    // The lock of a set left behind (made when it is missing, or made anew when it is no file of
    // the user's or has other names: `created`), held only when no living window holds it and it
    // is still the set's lock once taken. -1 when not held.
    int claimLock(const QString &id, bool &created) const;
    // Whether the set's name still names the open file (a claim or a removal may have run).
    bool isInPlace(int fd, const QString &id, SetFile file) const;

    struct Set
    {
        QString id;
        QDateTime written; // newest modification time of its files
    };
    // The sets in the folder, newest first; names of any other pattern are not looked at. A lock
    // a killed window left half made (old and free) is removed on the way.
    std::vector<Set> sets() const;

    // Called at the steps of takeLock ("made", before the lock is taken) and removeSet ("remove",
    // before each name goes); false ends the removal there, as a kill would.
    static inline bool (*stepForTesting)(const char *step, const QString &id) = nullptr;

private:
    QByteArray name(const QString &id, SetFile file) const;
    int replaceLock(const QString &id, int held) const;

    int m_fd = -1;
    QString m_path;
    QString m_problem;
    bool m_missing = false;
};
