// Framing and building the recovery files' records.
#include "recovery/RecoveryRecords.h"

#include "panes/lines/LineStore.h"

#include <QString>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <type_traits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr QByteArrayView magic("KAVREL-RECOVERY");
constexpr qsizetype editHead = 16; // from, to

std::atomic<qsizetype> recordBound {1 << 20};

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

// The received pane's line breaks, as its store takes them.
bool isBreak(QChar c)
{
    return c == u'\r' || c == u'\n';
}

// How long a prefix of at most `bound` bytes may be: never inside a UTF-8 sequence (a character
// outside the BMP stays whole) and never between the CR and the LF of one line break.
qsizetype safeCut(QByteArrayView utf8, qsizetype bound)
{
    if (utf8.size() <= bound)
        return utf8.size();
    qsizetype at = bound;
    while (at > 0 && (quint8(utf8[at]) & 0xC0) == 0x80)
        --at;
    if (at > 0 && utf8[at - 1] == '\r' && utf8[at] == '\n')
        --at;
    return at > 0 ? at : bound;
}

// Whether a text holds a surrogate, half of a pair or alone; eight code units at a time where
// the processor can, as the window thread asks it of every batch and most hold none.
bool hasSurrogate(QStringView text)
{
    const char16_t *units = text.utf16();
    qsizetype at = 0;
#if defined(__SSE2__)
    const __m128i mask = _mm_set1_epi16(short(0xF800));
    const __m128i surrogate = _mm_set1_epi16(short(0xD800));
    for (; at + 8 <= text.size(); at += 8) {
        const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + at));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(eight, mask), surrogate)) != 0)
            return true;
    }
#endif
    for (; at < text.size(); ++at) {
        if (QChar::isSurrogate(units[at]))
            return true;
    }
    return false;
}

void putInt64(QByteArray &out, qint64 value)
{
    char bytes[8];
    qToLittleEndian(value, bytes);
    out.append(bytes, 8);
}

void appendUtf8(QByteArray &out, QStringView text)
{
    out.append(recoveryUtf8(text));
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

// The pieces of a text in records of at most `room` bytes each, cut where replay joins them
// back into the same text.
template<typename Take> void forEachPiece(QByteArrayView utf8, qsizetype room, Take &&take)
{
    qsizetype at = 0;
    do {
        const qsizetype cut = safeCut(utf8.sliced(at), room);
        take(utf8.sliced(at, cut));
        at += cut;
    } while (at < utf8.size());
}

// A snapshot's text gathered into SnapshotPart records of the bound, each handed to the sink.
class SnapshotParts
{
public:
    explicit SnapshotParts(const RecoverySink &sink) : m_sink(sink) { }

    template<typename View> void add(View text)
    {
        // A slice at a time, so a line of millions of characters never waits whole as UTF-8.
        for (qsizetype at = 0; at < text.size() && m_ok;) {
            qsizetype length = std::min(m_step, text.size() - at);
            if constexpr (std::is_same_v<View, QStringView>) {
                if (at + length < text.size() && text[at + length - 1].isHighSurrogate())
                    --length;
            }
            QByteArray utf8;
            appendUtf8(utf8, text.sliced(at, length));
            addUtf8(utf8);
            at += length;
        }
    }
    void addUtf8(QByteArrayView utf8)
    {
        for (qsizetype at = 0; at < utf8.size() && m_ok; at += m_step) {
            m_text.append(utf8.sliced(at, std::min(m_step, utf8.size() - at)));
            // Cut only once the byte after the cut is known: a slice may end inside a character.
            while (m_ok && m_text.size() > m_bound)
                emitPart(safeCut(m_text, m_bound));
        }
    }
    bool finish()
    {
        while (m_ok && !m_text.isEmpty())
            emitPart(safeCut(m_text, m_bound));
        return m_ok && m_sink(recoveryRecord(RecoveryKind::SnapshotEnd, {}));
    }

private:
    void emitPart(qsizetype cut)
    {
        m_ok
            = m_sink(recoveryRecord(RecoveryKind::SnapshotPart, QByteArrayView(m_text).first(cut)));
        m_text.remove(0, cut);
    }

    const RecoverySink &m_sink;
    const qsizetype m_bound = recoveryRecordBound();
    const qsizetype m_step = std::max<qsizetype>(16, m_bound / 4);
    QByteArray m_text;
    bool m_ok = true;
};

QByteArray collected(const std::function<bool(const RecoverySink &)> &write)
{
    QByteArray out;
    write([&out](QByteArrayView records) {
        out.append(records);
        return true;
    });
    return out;
}

} // namespace

qsizetype recoveryRecordBound()
{
    return recordBound.load(std::memory_order_relaxed);
}

void setRecoveryRecordBound(qsizetype bytes)
{
    recordBound = std::max<qsizetype>(bytes, 64);
}

quint32 recoveryCrc32(QByteArrayView bytes, quint32 crc)
{
    crc = ~crc;
    for (const char byte : bytes)
        crc = crcTable[(crc ^ quint8(byte)) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

QByteArray recoveryUtf8(QStringView text)
{
    if (!hasSurrogate(text))
        return text.toUtf8();
    QByteArray out;
    qsizetype run = 0; // of text, not yet in out
    for (qsizetype at = 0; at < text.size(); ++at) {
        const char16_t unit = text[at].unicode();
        if (!QChar::isSurrogate(unit))
            continue;
        if (QChar::isHighSurrogate(unit) && at + 1 < text.size() && text[at + 1].isLowSurrogate()) {
            ++at;
            continue;
        }
        out.append(text.sliced(run, at - run).toUtf8());
        out.append(char(0xE0 | (unit >> 12)));
        out.append(char(0x80 | ((unit >> 6) & 0x3F)));
        out.append(char(0x80 | (unit & 0x3F)));
        run = at + 1;
    }
    out.append(text.sliced(run).toUtf8());
    return out;
}

QString recoveryText(QByteArrayView utf8)
{
    // A surrogate's three bytes start ED A0 to ED BF, which UTF-8 itself never holds.
    QString out;
    qsizetype run = 0;
    for (qsizetype at = 0; at + 2 < utf8.size(); ++at) {
        const void *lead = std::memchr(utf8.data() + at, 0xED, size_t(utf8.size() - 2 - at));
        if (!lead)
            break;
        at = static_cast<const char *>(lead) - utf8.data();
        const quint8 second = quint8(utf8[at + 1]);
        const quint8 third = quint8(utf8[at + 2]);
        if ((second & 0xE0) != 0xA0 || (third & 0xC0) != 0x80)
            continue;
        out.append(QString::fromUtf8(utf8.sliced(run, at - run)));
        out.append(QChar(char16_t(0xD000 | ((second & 0x3F) << 6) | (third & 0x3F))));
        at += 2;
        run = at + 1;
    }
    if (run == 0)
        return QString::fromUtf8(utf8);
    out.append(QString::fromUtf8(utf8.sliced(run)));
    return out;
}

QByteArray recoveryRecord(RecoveryKind kind, QByteArrayView payload)
{
    QByteArray out;
    out.reserve(recoveryFrameBytes + payload.size());
    char word[4];
    qToLittleEndian(quint32(payload.size()), word);
    out.append(word, 4);
    out.append(char(kind));
    out.append(payload);
    qToLittleEndian(recoveryCrc32(QByteArrayView(out).sliced(4)), word);
    out.append(word, 4);
    return out;
}

QByteArray recoveryHeader(RecoveryPane pane, quint8 version)
{
    QByteArray payload = magic.toByteArray();
    payload.append(char(version));
    payload.append(char(pane));
    return recoveryRecord(RecoveryKind::Header, payload);
}

QByteArray recoveryAppend(QStringView text)
{
    return recoveryAppends({recoveryUtf8(text)});
}

QByteArray recoveryAppends(const QByteArrayList &utf8Texts)
{
    QByteArray records;
    QByteArray run;
    const auto flush = [&] {
        if (!run.isEmpty()) {
            forEachPiece(run, recoveryRecordBound(), [&](QByteArrayView piece) {
                records.append(recoveryRecord(RecoveryKind::Append, piece));
            });
        }
        run.clear();
    };
    for (const QByteArray &text : utf8Texts) {
        if (run.endsWith('\r') && text.startsWith('\n'))
            flush();
        run.append(text);
    }
    flush();
    return records;
}

QByteArray recoveryEdit(RecoveryPane pane, qint64 from, qint64 to, QStringView text)
{
    return recoveryEdit(pane, from, to, QByteArrayView(recoveryUtf8(text)));
}

QByteArray recoveryEdit(RecoveryPane pane, qint64 from, qint64 to, QByteArrayView utf8)
{
    QByteArray records;
    forEachPiece(utf8, recoveryRecordBound() - editHead, [&](QByteArrayView piece) {
        QByteArray payload;
        payload.reserve(editHead + piece.size());
        putInt64(payload, from);
        putInt64(payload, to);
        payload.append(piece);
        records.append(recoveryRecord(RecoveryKind::Edit, payload));
        if (piece.size() == utf8.size())
            return;
        const QString inserted = recoveryText(piece);
        from += pane == RecoveryPane::Received ? recoveryStoreLength(inserted) : inserted.size();
        to = from;
    });
    return records;
}

bool recoverySnapshot(const LineStore &store, const RecoverySink &sink)
{
    SnapshotParts parts(sink);
    store.forEachLine(
        0, store.lineCount() - 1, [&](auto view) { parts.add(view); },
        [&] { parts.add(QLatin1StringView("\r\n")); });
    return parts.finish();
}

bool recoverySnapshot(QByteArrayView utf8, const RecoverySink &sink)
{
    SnapshotParts parts(sink);
    parts.addUtf8(utf8);
    return parts.finish();
}

QByteArray recoverySnapshot(const LineStore &store)
{
    return collected([&](const RecoverySink &sink) { return recoverySnapshot(store, sink); });
}

QByteArray recoverySnapshot(QStringView text)
{
    const QByteArray utf8 = recoveryUtf8(text);
    return collected([&](const RecoverySink &sink) { return recoverySnapshot(utf8, sink); });
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
