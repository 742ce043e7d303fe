// The recovery files' records: framing and building them. Pure functions, no I/O.
// A record is u32 payload length | u8 kind | payload | u32 CRC-32 of kind and payload, all
// little-endian; a file starts with a Header naming its pane. Records of format 2 hold at most
// recoveryRecordBound() payload bytes, so no length can wrap and a reader's memory is bounded.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringView>

#include <functional>

class LineStore;

enum class RecoveryPane : quint8 { Send = 1, Received = 2 };

// Snapshot is format 1's whole text in one record; format 2 writes a snapshot as SnapshotPart
// records whose texts join into the whole, closed by a SnapshotEnd.
enum class RecoveryKind : quint8 {
    Header = 1,
    Append = 2,
    Edit = 3,
    Snapshot = 4,
    SnapshotPart = 5,
    SnapshotEnd = 6
};

constexpr quint8 recoveryFormatVersion = 2;
constexpr qsizetype recoveryFrameBytes = 4 + 1 + 4; // length, kind, checksum

// Payload bytes a record holds at most (1 MiB); tests set it small, at least 64.
qsizetype recoveryRecordBound();
void setRecoveryRecordBound(qsizetype bytes);

quint32 recoveryCrc32(QByteArrayView bytes, quint32 crc = 0);

// A text as the records hold it: UTF-8, with a lone surrogate in three bytes of its own (as any
// other code unit of the BMP), which plain UTF-8 cannot carry; recoveryText takes it back.
// Files without such bytes read as plain UTF-8.
QByteArray recoveryUtf8(QStringView text);
QString recoveryText(QByteArrayView utf8);

// A whole record around a payload, whatever its size (the builders below keep the bound).
QByteArray recoveryRecord(RecoveryKind kind, QByteArrayView payload);

// The version is the current one except in tests of files an earlier version left.
QByteArray recoveryHeader(RecoveryPane pane, quint8 version = recoveryFormatVersion);
QByteArray recoveryAppend(QStringView text);
// Appends given as UTF-8, in as few records as replay the same: a CR ending one text and an LF
// starting the next are two line breaks in the pane but one within a record.
QByteArray recoveryAppends(const QByteArrayList &utf8Texts);
// Positions are the pane's: CR LF counted as two for the received pane, the text document's
// for the send pane. A long text becomes an edit and insertions after it.
QByteArray recoveryEdit(RecoveryPane pane, qint64 from, qint64 to, QByteArrayView utf8);
QByteArray recoveryEdit(RecoveryPane pane, qint64 from, qint64 to, QStringView text);

// A snapshot's records handed out a bounded run at a time; false from the sink stops it.
using RecoverySink = std::function<bool(QByteArrayView records)>;
bool recoverySnapshot(const LineStore &store, const RecoverySink &sink); // received pane
bool recoverySnapshot(QByteArrayView utf8, const RecoverySink &sink); // send pane
QByteArray recoverySnapshot(const LineStore &store);
QByteArray recoverySnapshot(QStringView text);

// How many of the received pane's positions a text takes once the store holds it: CR LF, and
// every lone CR or LF, count two.
qint64 recoveryStoreLength(QStringView text);
