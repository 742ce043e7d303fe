// The recovery set's window side and its writer thread.
#include "recovery/RecoverySet.h"

#include "panes/lines/LineStore.h"
#include "recovery/RecoveryRecords.h"
#include "recovery/RecoveryWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QRandomGenerator>

QString RecoverySet::folder()
{
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    const QString base
        = QDir::isAbsolutePath(state) ? state : QDir::homePath() + QStringLiteral("/.local/state");
    return QDir::cleanPath(base + QStringLiteral("/kavrel"));
}

RecoverySet::RecoverySet(QObject *parent) : QObject(parent)
{
    m_folder = folder();
    m_id = QStringLiteral("kavrel-%1-%2")
               .arg(QCoreApplication::applicationPid())
               .arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
}

RecoverySet::~RecoverySet()
{
    if (m_writer)
        m_writer->finish(false);
}

bool RecoverySet::start()
{
    if (m_started)
        return isWriting();
    m_started = true;
    m_writer = std::make_unique<RecoveryWriter>(m_folder, m_id);
    m_writer->onFailed = [this](const QString &reason) {
        QMetaObject::invokeMethod(
            this, [this, reason] { onWriterFailed(reason); }, Qt::QueuedConnection);
    };
    m_writer->onRecovered = [this] {
        QMetaObject::invokeMethod(
            this, [this] { onWriterRecovered(); }, Qt::QueuedConnection);
    };
    const QString reason = m_writer->create();
    m_writer->run(reason);
    return reason.isEmpty();
}

void RecoverySet::receivedEdited(qint64 from, qint64 to, const QString &text)
{
    if (!m_writer || m_needsRestart[0])
        return;
    const bool atEnd = from == to && from == m_receivedEnd;
    m_receivedEnd += recoveryStoreLength(text) - (to - from);
    if (atEnd)
        m_writer->pushAppend(RecoveryPane::Received, text);
    else
        m_writer->push({RecoveryPane::Received, RecoveryKind::Edit, from, to, text.toUtf8()});
}

void RecoverySet::restartReceived(const LineStore &pane)
{
    if (!m_writer || m_discarded)
        return;
    m_needsRestart[0] = false;
    m_receivedEnd = pane.size();
    RecoveryWriter::Item item {RecoveryPane::Received, RecoveryKind::Snapshot, 0, 0, {}};
    item.store = pane;
    m_writer->push(std::move(item));
}

void RecoverySet::sendEdited(int position, int removed, const QString &added)
{
    if (!m_writer || m_needsRestart[1])
        return;
    m_writer->push({RecoveryPane::Send, RecoveryKind::Edit, position, qint64(position) + removed,
                    added.toUtf8()});
}

void RecoverySet::restartSend(const QString &text)
{
    if (!m_writer || m_discarded)
        return;
    m_needsRestart[1] = false;
    m_writer->push({RecoveryPane::Send, RecoveryKind::Snapshot, 0, 0, text.toUtf8()});
}

void RecoverySet::syncNow()
{
    if (m_writer)
        m_writer->syncNow();
}

void RecoverySet::discard()
{
    if (!m_writer || m_discarded)
        return;
    m_discarded = true;
    m_needsRestart[0] = m_needsRestart[1] = true;
    m_writer->finish(true);
}

bool RecoverySet::isWriting() const
{
    return m_writer && !m_discarded && m_writer->isWriting();
}

quint64 RecoverySet::syncCount() const
{
    return m_writer ? m_writer->syncCount() : 0;
}

QString RecoverySet::id() const
{
    return m_id;
}

void RecoverySet::onWriterFailed(const QString &reason)
{
    m_needsRestart[0] = m_needsRestart[1] = true;
    if (m_failed || m_discarded)
        return;
    m_failed = true;
    emit failed(m_folder, reason);
}

void RecoverySet::onWriterRecovered()
{
    if (m_discarded)
        return;
    // A restart handed over while the writer still failed was dropped: ask for it again.
    m_needsRestart[0] = m_needsRestart[1] = true;
    m_failed = false;
    emit writableAgain();
}
