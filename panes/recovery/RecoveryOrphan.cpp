// Finding, claiming, reading and removing a set left by a window that did not end cleanly.
#include "panes/recovery/RecoveryOrphan.h"

std::unique_ptr<RecoveryOrphan> RecoveryOrphan::claimNewest(const QString &)
{
    return nullptr;
}

RecoveryOrphan::RecoveryOrphan(QString folder, QString id, int lockFd)
    : m_folder(std::move(folder)), m_id(std::move(id)), m_lockFd(lockFd)
{
}

RecoveryOrphan::~RecoveryOrphan() = default;

QDateTime RecoveryOrphan::lastWritten() const
{
    return {};
}

RecoveryOrphan::Contents RecoveryOrphan::read() const
{
    return {};
}

void RecoveryOrphan::discard() { }

QString RecoveryOrphan::path(const char *suffix) const
{
    return m_folder + u'/' + m_id + QLatin1StringView(suffix);
}
