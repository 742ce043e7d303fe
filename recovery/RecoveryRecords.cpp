// Framing, building and replaying the recovery files' records.
#include "recovery/RecoveryRecords.h"

#include <QString>
#include <QtEndian>

#include <array>

namespace {

constexpr QByteArrayView magic("KAVREL-RECOVERY");
constexpr quint8 formatVersion = 1;
constexpr qsizetype frameBytes = 4 + 1 + 4; // length, kind, checksum

constexpr std::array<quint32, 256> crcTable = [] {
    std::array<quint32, 256> table {};
    for (quint32 n = 0; n < 256; ++n) {
        quint32 c = n;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

void putInt64(QByteArray &out, qint64 value)
{
    char bytes[8];
    qToLittleEndian(value, bytes);
    out.append(bytes, 8);
}

void appendUtf8(QByteArray &out, QStringView text)
{
    out.append(text.toUtf8());
}

void appendUtf8(QByteArray &out, QLatin1StringView text)
{
    for (const char c : text) {
        const quint8 byte = quint8(c);
        if (byte < 0x80) {
            out.append(c);
        } else {
            out.append(char(0xC0 | (byte >> 6)));
            out.append(char(0x80 | (byte & 0x3F)));
        }
    }
}

bool isBreak(QChar c)
{
    return c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator;
}

// One record read from the front of the bytes; nullopt when torn or damaged.
struct Record
{
    RecoveryKind kind;
    QByteArrayView payload;
    qsizetype size;
};

std::optional<Record> readRecord(QByteArrayView bytes)
{
    if (bytes.size() < frameBytes)
        return std::nullopt;
    const quint32 length = qFromLittleEndian<quint32>(bytes.data());
    if (length > quint64(bytes.size() - frameBytes))
        return std::nullopt;
    const QByteArrayView body = bytes.sliced(4, 1 + qsizetype(length));
    const quint32 crc = qFromLittleEndian<quint32>(bytes.data() + 5 + length);
    if (recoveryCrc32(body) != crc)
        return std::nullopt;
    const quint8 kind = quint8(body[0]);
    if (kind < quint8(RecoveryKind::Header) || kind > quint8(RecoveryKind::Snapshot))
        return std::nullopt;
    return Record {RecoveryKind(kind), body.sliced(1), frameBytes + qsizetype(length)};
}

bool isHeaderOf(const Record &record, RecoveryPane pane)
{
    return record.kind == RecoveryKind::Header && record.payload.size() == magic.size() + 2
        && record.payload.first(magic.size()) == magic
        && quint8(record.payload[magic.size()]) == formatVersion
        && quint8(record.payload[magic.size() + 1]) == quint8(pane);
}

// A pane's text as replay changes it: the send pane's as a string (one position a UTF-16
// unit, as the document counts), the received pane's as a line store (CR LF counted as two).
qint64 lengthOf(const QString &text) { return text.size(); }
qint64 lengthOf(const LineStore &store) { return store.size(); }
void replaceIn(QString &text, qint64 from, qint64 to, const QString &with)
{
    text.replace(qsizetype(from), qsizetype(to - from), with);
}
void replaceIn(LineStore &store, qint64 from, qint64 to, const QString &with)
{
    store.replace(from, to, with);
}

template<typename Text> bool apply(Text &text, const Record &record)
{
    const qint64 length = lengthOf(text);
    switch (record.kind) {
    case RecoveryKind::Append:
        replaceIn(text, length, length, QString::fromUtf8(record.payload));
        return true;
    case RecoveryKind::Snapshot:
        replaceIn(text, 0, length, QString::fromUtf8(record.payload));
        return true;
    case RecoveryKind::Edit: {
        if (record.payload.size() < 16)
            return false;
        const qint64 from = qFromLittleEndian<qint64>(record.payload.data());
        const qint64 to = qFromLittleEndian<qint64>(record.payload.data() + 8);
        if (from < 0 || to < from || to > length)
            return false;
        replaceIn(text, from, to, QString::fromUtf8(record.payload.sliced(16)));
        return true;
    }
    case RecoveryKind::Header:
        break;
    }
    return false;
}

} // namespace

quint32 recoveryCrc32(QByteArrayView bytes, quint32 crc)
{
    crc = ~crc;
    for (const char byte : bytes)
        crc = crcTable[(crc ^ quint8(byte)) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

QByteArray recoveryRecord(RecoveryKind kind, QByteArrayView payload)
{
    QByteArray out;
    out.reserve(frameBytes + payload.size());
    char word[4];
    qToLittleEndian(quint32(payload.size()), word);
    out.append(word, 4);
    out.append(char(kind));
    out.append(payload);
    qToLittleEndian(recoveryCrc32(QByteArrayView(out).sliced(4)), word);
    out.append(word, 4);
    return out;
}

QByteArray recoveryHeader(RecoveryPane pane)
{
    QByteArray payload = magic.toByteArray();
    payload.append(char(formatVersion));
    payload.append(char(pane));
    return recoveryRecord(RecoveryKind::Header, payload);
}

QByteArray recoveryAppend(QStringView text)
{
    return recoveryRecord(RecoveryKind::Append, text.toUtf8());
}

QByteArray recoveryAppends(const QByteArrayList &utf8Texts)
{
    QByteArray records;
    QByteArray run;
    for (const QByteArray &text : utf8Texts) {
        if (run.endsWith('\r') && text.startsWith('\n')) {
            records.append(recoveryRecord(RecoveryKind::Append, run));
            run.clear();
        }
        run.append(text);
    }
    if (!run.isEmpty())
        records.append(recoveryRecord(RecoveryKind::Append, run));
    return records;
}

QByteArray recoveryEdit(qint64 from, qint64 to, QStringView text)
{
    return recoveryEdit(from, to, QByteArrayView(text.toUtf8()));
}

QByteArray recoveryEdit(qint64 from, qint64 to, QByteArrayView utf8)
{
    QByteArray payload;
    payload.reserve(16 + utf8.size());
    putInt64(payload, from);
    putInt64(payload, to);
    payload.append(utf8);
    return recoveryRecord(RecoveryKind::Edit, payload);
}

QByteArray recoverySnapshot(const LineStore &store)
{
    QByteArray payload;
    payload.reserve(qsizetype(store.size()));
    store.forEachLine(
        0, store.lineCount() - 1, [&](auto view) { appendUtf8(payload, view); },
        [&] { payload.append("\r\n", 2); });
    return recoveryRecord(RecoveryKind::Snapshot, payload);
}

QByteArray recoverySnapshot(QStringView text)
{
    return recoveryRecord(RecoveryKind::Snapshot, text.toUtf8());
}

qint64 recoveryStoreLength(QStringView text)
{
    qint64 length = text.size();
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isBreak(text[i]))
            continue;
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        else
            ++length;
    }
    return length;
}

std::optional<RecoveredPane> replayRecovery(QByteArrayView bytes, RecoveryPane pane)
{
    const std::optional<Record> header = readRecord(bytes);
    if (!header || !isHeaderOf(*header, pane))
        return std::nullopt;
    RecoveredPane out;
    QString send;
    for (qsizetype at = header->size; at < bytes.size();) {
        const std::optional<Record> record = readRecord(bytes.sliced(at));
        const bool applied = record
            && (pane == RecoveryPane::Received ? apply(out.store, *record)
                                               : apply(send, *record));
        if (!applied) {
            out.whole = false;
            break;
        }
        at += record->size;
    }
    if (pane == RecoveryPane::Send)
        out.store.append(send);
    return out;
}
