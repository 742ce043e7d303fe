// Replaying a pane's recovery file as it is read, a block at a time: every whole record up to
// the first torn or damaged one is applied, that one and everything after it dropped. A
// snapshot counts only once its end has arrived whole.
#pragma once

#include "panes/lines/LineStore.h"
#include "recovery/RecoveryRecords.h"

#include <QByteArray>
#include <QString>

#include <optional>

struct RecoveredPane
{
    // The send pane's text comes back with LF line breaks (one position each, as the text
    // document counts a paragraph end).
    LineStore store = LineStore();
    qint64 unreadBytes = 0; // the file's bytes after the last record that could be applied
    bool whole() const { return unreadBytes == 0; }
};

class RecoveryReplay
{
public:
    explicit RecoveryReplay(RecoveryPane pane);

    // The file's next bytes. False once the rest can only be dropped: a record is damaged or
    // out of range, or the file is not this pane's. Memory stays within the pane's text and
    // one record (format 2 bounds records; a format 1 record may be as long as its file).
    bool feed(QByteArrayView bytes);
    // nullopt: not a recovery file of this pane. The file's size, when known, counts what was
    // never fed as unread too.
    std::optional<RecoveredPane> finish(qint64 fileBytes = 0);
    // Whether what was fed ends inside a header of this pane: a file cut off before it held a
    // record, which lost nothing.
    bool endedInHeader() const;

private:
    bool takeRecords();
    bool apply(RecoveryKind kind, QByteArrayView payload);

    RecoveryPane m_pane;
    quint8 m_version = 0; // 0 until a header was read
    bool m_stopped = false;
    QByteArray m_buffer; // bytes fed but not yet taken as records
    qsizetype m_taken = 0; // of m_buffer
    qint64 m_fed = 0;
    qint64 m_at = 0; // the file's offset of m_buffer's first byte
    qint64 m_kept = 0; // the file's offset after the last record applied
    LineStore m_received;
    QString m_send;
    std::optional<LineStore> m_receivedSnapshot; // a snapshot whose end has not come yet
    std::optional<QString> m_sendSnapshot;
};

// The whole file at once.
std::optional<RecoveredPane> replayRecovery(QByteArrayView bytes, RecoveryPane pane);
