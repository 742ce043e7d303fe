// Replaying a pane's recovery file as it is read.
#include "recovery/RecoveryReplay.h"

#include <QtEndian>

#include <algorithm>
#include <limits>

namespace {

constexpr QByteArrayView magic("KAVREL-RECOVERY");
constexpr qsizetype headerBound = 64;

// A pane's text as replay changes it: the send pane's as a string (one position a UTF-16
// unit, as the document counts), the received pane's as a line store (CR LF counted as two).
qint64 lengthOf(const QString &text)
{
    return text.size();
}
qint64 lengthOf(const LineStore &store)
{
    return store.size();
}
void replaceIn(QString &text, qint64 from, qint64 to, QByteArrayView utf8)
{
    text.replace(qsizetype(from), qsizetype(to - from), recoveryText(utf8));
}
void replaceIn(LineStore &store, qint64 from, qint64 to, QByteArrayView utf8)
{
    store.replace(from, to, recoveryText(utf8));
}

template<typename Text>
bool applyTo(Text &text, std::optional<Text> &snapshot, RecoveryKind kind, QByteArrayView payload)
{
    if (snapshot && kind != RecoveryKind::SnapshotPart && kind != RecoveryKind::SnapshotEnd)
        return false; // a snapshot's parts come in one run
    const qint64 length = lengthOf(text);
    switch (kind) {
    case RecoveryKind::Append:
        replaceIn(text, length, length, payload);
        return true;
    case RecoveryKind::Snapshot:
        text = Text();
        replaceIn(text, 0, 0, payload);
        return true;
    case RecoveryKind::SnapshotPart:
        if (!snapshot)
            snapshot.emplace();
        replaceIn(*snapshot, lengthOf(*snapshot), lengthOf(*snapshot), payload);
        return true;
    case RecoveryKind::SnapshotEnd:
        text = snapshot ? std::move(*snapshot) : Text();
        snapshot.reset();
        return payload.isEmpty();
    case RecoveryKind::Edit: {
        if (payload.size() < 16)
            return false;
        const qint64 from = qFromLittleEndian<qint64>(payload.data());
        const qint64 to = qFromLittleEndian<qint64>(payload.data() + 8);
        if (from < 0 || to < from || to > length)
            return false;
        replaceIn(text, from, to, payload.sliced(16));
        return true;
    }
    case RecoveryKind::Header:
        break;
    }
    return false;
}

} // namespace

RecoveryReplay::RecoveryReplay(RecoveryPane pane) : m_pane(pane) { }

bool RecoveryReplay::feed(QByteArrayView bytes)
{
    m_fed += bytes.size();
    if (m_stopped)
        return false;
    // Taken records leave the buffer in bulk, so a file costs one copy of each byte.
    if (m_taken > 0 && m_taken >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_taken);
        m_at += m_taken;
        m_taken = 0;
    }
    m_buffer.append(bytes);
    m_stopped = !takeRecords();
    return !m_stopped;
}

bool RecoveryReplay::takeRecords()
{
    for (;;) {
        // Until the header names the format, only a header is looked for.
        const qsizetype bound = m_version == 0 ? headerBound
            : m_version == 1                   ? std::numeric_limits<qsizetype>::max()
                                               : recoveryRecordBound();
        const QByteArrayView rest = QByteArrayView(m_buffer).sliced(m_taken);
        if (rest.size() < 4)
            return true;
        const quint32 length = qFromLittleEndian<quint32>(rest.data());
        if (length > quint64(bound))
            return false;
        if (quint64(rest.size()) < quint64(recoveryFrameBytes) + length)
            return true; // the rest of it has not been read yet, or the file is torn there
        const QByteArrayView body = rest.sliced(4, 1 + qsizetype(length));
        if (recoveryCrc32(body) != qFromLittleEndian<quint32>(rest.data() + 5 + length))
            return false;
        if (!apply(RecoveryKind(quint8(body[0])), body.sliced(1)))
            return false;
        m_taken += recoveryFrameBytes + qsizetype(length);
        if (!m_receivedSnapshot && !m_sendSnapshot)
            m_kept = m_at + m_taken;
    }
}

bool RecoveryReplay::apply(RecoveryKind kind, QByteArrayView payload)
{
    if (m_version == 0) {
        if (kind != RecoveryKind::Header || payload.size() != magic.size() + 2
            || !payload.startsWith(magic) || quint8(payload[magic.size() + 1]) != quint8(m_pane))
            return false;
        const quint8 version = quint8(payload[magic.size()]);
        if (version < 1 || version > recoveryFormatVersion)
            return false;
        m_version = version;
        return true;
    }
    if (m_pane == RecoveryPane::Received)
        return applyTo(m_received, m_receivedSnapshot, kind, payload);
    return applyTo(m_send, m_sendSnapshot, kind, payload);
}

std::optional<RecoveredPane> RecoveryReplay::finish(qint64 fileBytes)
{
    if (m_version == 0)
        return std::nullopt;
    RecoveredPane out;
    out.unreadBytes = std::max(m_fed, fileBytes) - m_kept;
    if (m_pane == RecoveryPane::Received)
        out.store = std::move(m_received);
    else // the send pane's document ends its paragraphs with U+2029; the store breaks at LF
        out.store.append(m_send.replace(QChar::ParagraphSeparator, u'\n'));
    return out;
}

bool RecoveryReplay::endedInHeader() const
{
    if (m_version != 0 || m_stopped)
        return false;
    for (quint8 version = 1; version <= recoveryFormatVersion; ++version) {
        if (recoveryHeader(m_pane, version).startsWith(m_buffer))
            return true;
    }
    return false;
}

std::optional<RecoveredPane> replayRecovery(QByteArrayView bytes, RecoveryPane pane)
{
    RecoveryReplay replay(pane);
    replay.feed(bytes);
    return replay.finish();
}
