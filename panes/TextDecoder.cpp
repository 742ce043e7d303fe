// UTF-8 with a Latin-1 reading of every byte that is not part of a valid sequence.
#include "panes/TextDecoder.h"

#include <algorithm>

namespace {

// The well-formed UTF-8 sequences: the range the second byte may take after each lead byte
// (the third and fourth are always 80..BF). Overlong forms, surrogates and code points above
// U+10FFFF are not among them.
struct Lead
{
    int length = 0;
    uchar low = 0x80, high = 0xBF;
};

constexpr Lead lead(uchar b)
{
    if (b >= 0xC2 && b <= 0xDF)
        return {.length = 2};
    if (b == 0xE0)
        return {.length = 3, .low = 0xA0, .high = 0xBF};
    if (b == 0xED)
        return {.length = 3, .low = 0x80, .high = 0x9F};
    if (b >= 0xE1 && b <= 0xEF)
        return {.length = 3};
    if (b == 0xF0)
        return {.length = 4, .low = 0x90, .high = 0xBF};
    if (b >= 0xF1 && b <= 0xF3)
        return {.length = 4};
    if (b == 0xF4)
        return {.length = 4, .low = 0x80, .high = 0x8F};
    return {};
}

enum class Sequence { Valid, Invalid, Unfinished };

// Whether the bytes at p (n of them available) begin a valid sequence of lead(p[0]).length.
Sequence check(const uchar *p, qsizetype n, const Lead &l)
{
    for (int k = 1; k < l.length; ++k) {
        if (k >= n)
            return Sequence::Unfinished;
        const uchar low = k == 1 ? l.low : 0x80;
        const uchar high = k == 1 ? l.high : 0xBF;
        if (p[k] < low || p[k] > high)
            return Sequence::Invalid;
    }
    return Sequence::Valid;
}

void appendSequence(const uchar *p, int length, QChar *&out)
{
    char32_t c = 0;
    switch (length) {
    case 2:
        c = char32_t(p[0] & 0x1F) << 6 | (p[1] & 0x3F);
        break;
    case 3:
        c = char32_t(p[0] & 0x0F) << 12 | char32_t(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
        break;
    default:
        c = char32_t(p[0] & 0x07) << 18 | char32_t(p[1] & 0x3F) << 12 | char32_t(p[2] & 0x3F) << 6
            | (p[3] & 0x3F);
        break;
    }
    if (c >= 0x10000) {
        *out++ = QChar::highSurrogate(c);
        *out++ = QChar::lowSurrogate(c);
    } else {
        *out++ = QChar(char16_t(c));
    }
}

// Decodes p[0..n) into out; returns how many bytes at the end form an unfinished sequence
// (not decoded) when more may follow, else 0.
qsizetype decodeInto(const uchar *p, qsizetype n, bool more, QChar *&out)
{
    qsizetype i = 0;
    while (i < n) {
        const uchar b = p[i];
        if (b < 0x80) {
            *out++ = QChar(char16_t(b));
            ++i;
            continue;
        }
        const Lead l = lead(b);
        const Sequence s = l.length ? check(p + i, n - i, l) : Sequence::Invalid;
        if (s == Sequence::Valid) {
            appendSequence(p + i, l.length, out);
            i += l.length;
        } else if (s == Sequence::Unfinished && more) {
            return n - i;
        } else {
            *out++ = QChar(char16_t(b)); // the Latin-1 character of the same value
            ++i;
        }
    }
    return 0;
}

} // namespace

void TextDecoder::decode(QByteArrayView bytes, QString &out)
{
    if (bytes.isEmpty())
        return;
    const qsizetype before = out.size();
    // Never more characters than bytes, the held ones included.
    out.resize(before + m_held + bytes.size());
    QChar *write = out.data() + before;
    auto *p = reinterpret_cast<const uchar *>(bytes.data());
    qsizetype n = bytes.size();

    // A held sequence is finished (or refuted) with the first bytes of this piece.
    while (m_held > 0 && n > 0) {
        m_pending[std::size_t(m_held++)] = char(*p++);
        --n;
        auto *pending = reinterpret_cast<const uchar *>(m_pending.data());
        const qsizetype unfinished = decodeInto(pending, m_held, true, write);
        // What is left unfinished is always a tail of the held bytes: keep it held.
        std::copy(m_pending.begin() + (m_held - unfinished), m_pending.begin() + m_held,
                  m_pending.begin());
        m_held = unfinished;
    }
    if (n > 0) {
        const qsizetype unfinished = decodeInto(p, n, true, write);
        std::copy(p + n - unfinished, p + n, reinterpret_cast<uchar *>(m_pending.data()));
        m_held = unfinished;
    }
    out.resize(write - out.constData());
}

void TextDecoder::finish(QString &out)
{
    for (qsizetype i = 0; i < m_held; ++i)
        out += QChar(char16_t(uchar(m_pending[std::size_t(i)])));
    m_held = 0;
}

QString decodeText(QByteArrayView bytes)
{
    TextDecoder decoder;
    QString text;
    decoder.decode(bytes, text);
    decoder.finish(text);
    return text;
}
