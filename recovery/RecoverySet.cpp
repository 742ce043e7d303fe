// The recovery set's window side: what the panes hand over, queued for the writer thread.
#include "recovery/RecoverySet.h"

#include "panes/lines/LineStore.h"
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
    m_writer = std::make_shared<RecoveryWriter>(m_folder, m_id);
    // The writer calls from its thread; what it tells is handled on this object's.
    const auto later = [this](auto function) {
        QMetaObject::invokeMethod(this, std::move(function), Qt::QueuedConnection);
    };
    m_writer->onFailed = [this, later](const QString &reason) {
        later([this, reason] { onWriterFailed(reason); });
    };
    m_writer->onRecovered = [this, later] { later([this] { onWriterRecovered(); }); };
    m_writer->onSynced = [this, later] {
        later([this] {
            if (!m_discarded)
                emit synced();
        });
    };
    m_writer->onRewriteDue = [this, later](RecoveryPane pane) {
        later([this, pane] {
            if (!m_discarded && !m_needsRestart[pane == RecoveryPane::Received ? 0 : 1])
                emit rewriteDue(pane);
        });
    };
    const QString reason = m_writer->create();
    m_writer->run(reason);
    return reason.isEmpty();
}

void RecoverySet::receivedEdited(qint64 from, qint64 to, const QString &text, qint64 paneLength)
{
    if (!m_writer || m_needsRestart[0])
        return;
    const bool atEnd = from == to && from == m_receivedEnd;
    m_receivedEnd = paneLength >= 0 ? paneLength
                                    : m_receivedEnd + recoveryStoreLength(text) - (to - from);
    const RecoveryWriter::Pushed pushed = atEnd
        ? m_writer->pushAppend(RecoveryPane::Received, text, m_receivedEnd)
        : m_writer->push({.pane = RecoveryPane::Received,
                          .kind = RecoveryKind::Edit,
                          .from = from,
                          .to = to,
                          .text = recoveryUtf8(text),
                          .paneLength = m_receivedEnd});
    if (pushed != RecoveryWriter::Pushed::Queued)
        dropped(pushed == RecoveryWriter::Pushed::Overflowed);
}

void RecoverySet::restartReceived(const LineStore &pane)
{
    if (!m_writer || m_discarded)
        return;
    m_needsRestart[0] = false;
    m_receivedEnd = pane.size();
    m_writer->push({.pane = RecoveryPane::Received,
                    .kind = RecoveryKind::Snapshot,
                    .paneLength = m_receivedEnd,
                    .store = pane});
}

void RecoverySet::sendEdited(int position, int removed, const QString &added)
{
    if (!m_writer || m_needsRestart[1])
        return;
    m_sendEnd += added.size() - removed;
    const RecoveryWriter::Pushed pushed = m_writer->push({.pane = RecoveryPane::Send,
                                                          .kind = RecoveryKind::Edit,
                                                          .from = position,
                                                          .to = qint64(position) + removed,
                                                          .text = recoveryUtf8(added),
                                                          .paneLength = m_sendEnd});
    if (pushed != RecoveryWriter::Pushed::Queued)
        dropped(pushed == RecoveryWriter::Pushed::Overflowed);
}

void RecoverySet::restartSend(const QString &text)
{
    if (!m_writer || m_discarded)
        return;
    m_needsRestart[1] = false;
    m_sendEnd = text.size();
    m_writer->push({.pane = RecoveryPane::Send,
                    .kind = RecoveryKind::Snapshot,
                    .text = recoveryUtf8(text),
                    .paneLength = m_sendEnd});
}

void RecoverySet::dropped(bool toldNow)
{
    // The queue was full: the writer rebuilds both panes from what they hold once the disk
    // has caught up (writableAgain).
    m_needsRestart[0] = m_needsRestart[1] = true;
    if (toldNow && !m_discarded)
        emit failed(m_folder, tr("The disk takes the data more slowly than it arrives."));
}

void RecoverySet::syncNow()
{
    if (m_writer)
        m_writer->syncNow();
}

void RecoverySet::askSynced()
{
    if (m_writer && !m_discarded)
        m_writer->askSynced();
}

void RecoverySet::discard()
{
    if (!m_writer || m_discarded)
        return;
    m_discarded = true;
    m_needsRestart[0] = m_needsRestart[1] = true;
    m_writer->finish(true);
}

void RecoverySet::keep()
{
    if (m_writer)
        m_writer->endWithin(RecoveryWriter::endWait);
}

bool RecoverySet::isWriting() const
{
    return m_writer && !m_discarded && m_writer->isWriting();
}

quint64 RecoverySet::syncCount() const
{
    return m_writer ? m_writer->syncCount() : 0;
}

qsizetype RecoverySet::queuedBytes() const
{
    return m_writer ? m_writer->queuedBytes() : 0;
}

QString RecoverySet::id() const
{
    return m_id;
}

void RecoverySet::onWriterFailed(const QString &reason)
{
    m_needsRestart[0] = m_needsRestart[1] = true;
    if (!m_discarded)
        emit failed(m_folder, reason);
}

void RecoverySet::onWriterRecovered()
{
    if (m_discarded)
        return;
    // A restart handed over while the writer still failed was dropped: ask for it again.
    m_needsRestart[0] = m_needsRestart[1] = true;
    emit writableAgain();
}
