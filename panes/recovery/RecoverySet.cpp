// The recovery set's window side and its writer thread.
#include "panes/recovery/RecoverySet.h"

#include "panes/lines/LineStore.h"

#include <QDir>

struct RecoveryWriter
{
};

QString RecoverySet::folder()
{
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    const QString base = QDir::isAbsolutePath(state) ? state
                                                     : QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/kavrel");
}

RecoverySet::RecoverySet(QObject *parent) : QObject(parent) { }

RecoverySet::~RecoverySet() = default;

bool RecoverySet::start()
{
    return false;
}

void RecoverySet::receivedEdited(qint64, qint64, const QString &) { }
void RecoverySet::restartReceived(const LineStore &) { }
void RecoverySet::sendEdited(int, int, const QString &) { }
void RecoverySet::restartSend(const QString &) { }
void RecoverySet::syncNow() { }
void RecoverySet::discard() { }
bool RecoverySet::isWriting() const
{
    return false;
}
QString RecoverySet::id() const
{
    return m_id;
}
void RecoverySet::onWriterFailed(const QString &) { }
void RecoverySet::onWriterRecovered() { }
void RecoverySet::enqueueEdit(int, qint64, qint64, const QString &) { }
