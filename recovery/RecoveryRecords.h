// The recovery files' records: framing, building and replaying them. Pure functions, no I/O.
// A record is u32 payload length | u8 kind | payload | u32 CRC-32 of kind and payload, all
// little-endian; a file starts with a Header naming its pane.
#pragma once

#include "panes/lines/LineStore.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QStringView>

#include <optional>

enum class RecoveryPane : quint8 { Send = 1, Received = 2 };

enum class RecoveryKind : quint8 { Header = 1, Append = 2, Edit = 3, Snapshot = 4 };

quint32 recoveryCrc32(QByteArrayView bytes, quint32 crc = 0);

// A whole record around a payload.
QByteArray recoveryRecord(RecoveryKind kind, QByteArrayView payload);

QByteArray recoveryHeader(RecoveryPane pane);
QByteArray recoveryAppend(QStringView text);
// Appends given as UTF-8, in as few records as replay the same: a CR ending one text and an LF
// starting the next are two line breaks in the pane but one within a record.
QByteArray recoveryAppends(const QByteArrayList &utf8Texts);
// Positions are the pane's: CR LF counted as two for the received pane, the text document's
// for the send pane.
QByteArray recoveryEdit(qint64 from, qint64 to, QStringView text);
QByteArray recoveryEdit(qint64 from, qint64 to, QByteArrayView utf8);
QByteArray recoverySnapshot(const LineStore &store); // received pane
QByteArray recoverySnapshot(QStringView text); // send pane

// How many of the received pane's positions a text takes once the store holds it: CR LF, and
// every lone CR, LF or U+2029, count two.
qint64 recoveryStoreLength(QStringView text);

struct RecoveredPane
{
    // The send pane's text comes back with LF line breaks (one position each, as the text
    // document counts a paragraph end).
    LineStore store = LineStore();
    bool whole = true; // false: a torn or damaged tail was dropped
};

// Replays every whole record up to the first torn or damaged one; positions out of range make
// that record damaged too. Never throws, never hangs; bounded memory (a length field larger
// than the remaining bytes is torn). nullopt: not ours, or no valid header for this pane.
std::optional<RecoveredPane> replayRecovery(QByteArrayView bytes, RecoveryPane pane);
