// Finding, claiming, reading and removing a set left by a window that did not end cleanly.
#include "recovery/RecoveryOrphan.h"

#include "recovery/RecoveryRecords.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr const char *setSuffixes[] = {".received", ".send", ".received.new", ".send.new", ".lock"};

int openLock(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT)
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    return fd;
}

// Whether a pane's file holds a record past its header; nullopt when it cannot be read or is
// not a recovery file of that pane. A missing file holds nothing.
std::optional<bool> holdsRecords(const QString &path, RecoveryPane pane)
{
    QFile file(path);
    if (!file.exists())
        return false;
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray header = recoveryHeader(pane);
    if (file.read(header.size()) != header)
        return std::nullopt;
    return file.size() > header.size();
}

} // namespace

std::unique_ptr<RecoveryOrphan> RecoveryOrphan::claimNewest(const QString &folder)
{
    static const QRegularExpression name(
        QStringLiteral("^(kavrel-[0-9]+-[0-9a-f]+)\\.(lock|received|send)$"));
    struct Candidate
    {
        QString id;
        QDateTime written;
    };
    std::vector<Candidate> candidates;
    const QDir dir(folder);
    for (const QFileInfo &info : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
        const QRegularExpressionMatch match = name.match(info.fileName());
        if (!match.hasMatch())
            continue;
        const QString id = match.captured(1);
        auto known = std::find_if(candidates.begin(), candidates.end(),
                                  [&](const Candidate &c) { return c.id == id; });
        if (known == candidates.end())
            candidates.push_back({id, info.lastModified()});
        else
            known->written = std::max(known->written, info.lastModified());
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate &a, const Candidate &b) { return a.written > b.written; });

    for (const Candidate &candidate : candidates) {
        const int fd = openLock(dir.filePath(candidate.id + QStringLiteral(".lock")));
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd); // its window still lives
            continue;
        }
        std::unique_ptr<RecoveryOrphan> orphan(new RecoveryOrphan(folder, candidate.id, fd));
        const std::optional<bool> received
            = holdsRecords(orphan->path(".received"), RecoveryPane::Received);
        const std::optional<bool> send = holdsRecords(orphan->path(".send"), RecoveryPane::Send);
        if (!received || !send)
            continue; // not readable: left alone
        if (*received || *send)
            return orphan;
        orphan->discard(); // nothing to offer
    }
    return nullptr;
}

RecoveryOrphan::RecoveryOrphan(QString folder, QString id, int lockFd)
    : m_folder(std::move(folder)), m_id(std::move(id)), m_lockFd(lockFd)
{ }

RecoveryOrphan::~RecoveryOrphan()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QDateTime RecoveryOrphan::lastWritten() const
{
    QDateTime newest;
    for (const char *suffix : setSuffixes) {
        const QFileInfo info(path(suffix));
        if (info.exists() && (!newest.isValid() || info.lastModified() > newest))
            newest = info.lastModified();
    }
    return newest;
}

RecoveryOrphan::Contents RecoveryOrphan::read() const
{
    Contents contents;
    for (const RecoveryPane pane : {RecoveryPane::Received, RecoveryPane::Send}) {
        QFile file(path(pane == RecoveryPane::Received ? ".received" : ".send"));
        if (!file.exists())
            continue;
        std::optional<RecoveredPane> replayed;
        if (file.open(QIODevice::ReadOnly))
            replayed = replayRecovery(file.readAll(), pane);
        if (!replayed) {
            contents.whole = false;
            continue;
        }
        contents.whole = contents.whole && replayed->whole;
        if (pane == RecoveryPane::Received)
            contents.received = std::move(replayed->store);
        else
            contents.send = replayed->store.text(0, replayed->store.size(1), 1);
    }
    return contents;
}

void RecoveryOrphan::discard()
{
    for (const char *suffix : setSuffixes)
        ::unlink(QFile::encodeName(path(suffix)).constData());
}

QString RecoveryOrphan::path(const char *suffix) const
{
    return m_folder + u'/' + m_id + QLatin1StringView(suffix);
}
