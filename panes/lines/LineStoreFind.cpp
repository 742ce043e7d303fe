// Find in the received pane's text: one search over a chunk's characters (its lines joined
// without breaks) and then a check that the match lies within one line. Both kinds of chunk
// are searched under Qt's case folding, as classes of characters that fold alike.
#include "panes/lines/FoldedNeedle.h"
#include "panes/lines/LineStore.h"

#include <QChar>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <utility>

namespace {

// Qt's case folding of the characters up to U+00FF, each reduced to one byte standing for all
// the characters that fold alike (A and a, À and à; µ folds to Greek mu, as no other does).
struct Latin1Folding
{
    std::array<uchar, 256> byte {};
    std::array<std::pair<char16_t, uchar>, 256> byFolded {}; // sorted by the folded character

    Latin1Folding()
    {
        std::array<char16_t, 256> folded {};
        for (int b = 0; b < 256; ++b) {
            folded[size_t(b)] = char16_t(QChar::toCaseFolded(char32_t(b)));
            int first = 0;
            while (folded[size_t(first)] != folded[size_t(b)])
                ++first;
            byte[size_t(b)] = uchar(first);
            byFolded[size_t(b)] = {folded[size_t(b)], uchar(first)};
        }
        std::sort(byFolded.begin(), byFolded.end());
    }

    // The byte standing for a character of the text, or -1 when no such byte folds as it does.
    int byteFor(char16_t c) const
    {
        if (QChar::isSurrogate(c))
            return -1;
        const auto folded = char16_t(QChar::toCaseFolded(char32_t(c)));
        const auto at = std::lower_bound(byFolded.begin(), byFolded.end(),
                                         std::pair<char16_t, uchar>(folded, 0));
        return at != byFolded.end() && at->first == folded ? at->second : -1;
    }
};

const Latin1Folding &latin1Folding()
{
    static const Latin1Folding folding;
    return folding;
}

// The text to find in one-byte chunks, as the bytes standing for its characters.
class Latin1Needle
{
public:
    explicit Latin1Needle(QStringView text) : m_search(bytesOf(text), latin1Folding().byte.data())
    {
        if (m_search.size() == 0)
            return;
        for (int b = 0; b < 256; ++b) {
            if (latin1Folding().byte[size_t(b)] == m_search.front())
                m_alike.push_back(uchar(b));
        }
    }

    // Whether a one-byte text can hold a match at all.
    bool possible() const { return m_search.size() > 0; }

    // The first start in [from, limit), or the last, of a match inside text[0, length).
    qsizetype first(const uchar *text, qsizetype length, qsizetype from, qsizetype limit) const
    {
        if (m_search.size() > 1)
            return m_search.first(text, length, from, limit);
        // Each byte folding to it looked for by memchr, far faster than a step a byte.
        const qsizetype last = std::min(limit - 1, length - 1);
        const uchar *found = nullptr;
        for (const uchar b : m_alike) {
            const qsizetype room = (found ? found - text : last + 1) - from;
            if (room > 0) {
                if (const void *at = std::memchr(text + from, b, size_t(room)))
                    found = static_cast<const uchar *>(at);
            }
        }
        return found ? found - text : -1;
    }
    qsizetype last(const uchar *text, qsizetype length, qsizetype from, qsizetype limit) const
    {
        if (m_search.size() > 1)
            return m_search.last(text, length, from, limit);
        const uchar *found = nullptr;
        for (const uchar b : m_alike) {
            const qsizetype start = found ? found - text + 1 : from;
            const qsizetype room = std::min(limit, length) - start;
            if (room > 0) {
                if (const void *at = memrchr(text + start, b, size_t(room)))
                    found = static_cast<const uchar *>(at);
            }
        }
        return found ? found - text : -1;
    }

private:
    // None when a character of the text has no byte folding as it does.
    static std::vector<uchar> bytesOf(QStringView text)
    {
        std::vector<uchar> bytes;
        bytes.reserve(size_t(text.size()));
        for (const QChar c : text) {
            const int b = latin1Folding().byteFor(c.unicode());
            if (b < 0)
                return {};
            bytes.push_back(uchar(b));
        }
        return bytes;
    }

    FoldedNeedle<uchar, uchar> m_search;
    std::vector<uchar> m_alike; // the bytes that fold as the first one does
};

// Qt's case folding of every UTF-16 unit on its own, every surrogate in one class of its own: a
// surrogate's folding depends on its neighbour, but it only ever compares equal to a surrogate.
const std::array<char16_t, 65536> &wideClasses()
{
    static const auto classes = [] {
        auto table = std::make_unique<std::array<char16_t, 65536>>();
        for (char32_t c = 0; c < 65536; ++c)
            (*table)[c]
                = QChar::isSurrogate(c) ? char16_t(0xd800) : char16_t(QChar::toCaseFolded(c));
        return table;
    }();
    return *classes;
}

// The text to find in wide chunks. Where it holds a surrogate, Qt's own comparison decides each
// candidate its classes find.
class WideNeedle
{
public:
    explicit WideNeedle(QStringView text)
        : m_text(text), m_search(classesOf(text), wideClasses().data())
    {
        m_exact = text.size() == 1
            || std::none_of(text.begin(), text.end(), [](QChar c) { return c.isSurrogate(); });
    }

    qsizetype first(const char16_t *text, qsizetype length, qsizetype from, qsizetype limit) const
    {
        if (m_text.size() > 1)
            return m_search.first(text, length, from, limit);
        // No shift to gain: Qt's own search for one character is quicker.
        const qsizetype last = std::min(limit - 1, length - 1);
        const qsizetype at = last < from ? -1
                                         : QStringView(text + from, last + 1 - from)
                                               .indexOf(m_text.front(), 0, Qt::CaseInsensitive);
        return at < 0 ? -1 : from + at;
    }
    qsizetype last(const char16_t *text, qsizetype length, qsizetype from, qsizetype limit) const
    {
        if (m_text.size() > 1)
            return m_search.last(text, length, from, limit);
        const qsizetype last = std::min(limit - 1, length - 1);
        const qsizetype at = last < from
            ? -1
            : QStringView(text + from, last + 1 - from)
                  .lastIndexOf(m_text.front(), -1, Qt::CaseInsensitive);
        return at < 0 ? -1 : from + at;
    }

    // Whether a candidate at `at` is a match as Qt compares.
    bool confirms(const char16_t *at) const
    {
        return m_exact || QStringView(at, m_text.size()).compare(m_text, Qt::CaseInsensitive) == 0;
    }

private:
    static std::vector<char16_t> classesOf(QStringView text)
    {
        std::vector<char16_t> classes;
        classes.reserve(size_t(text.size()));
        for (const QChar c : text)
            classes.push_back(wideClasses()[c.unicode()]);
        return classes;
    }

    QStringView m_text;
    FoldedNeedle<char16_t, char16_t> m_search;
    bool m_exact = true;
};

} // namespace

LineStore::Found LineStore::find(QStringView text, Place from, Place to, bool forward,
                                 qint64 budget) const
{
    const auto before = [](Place a, Place b) {
        return a.line < b.line || (a.line == b.line && a.column < b.column);
    };
    const Found none {.match = false, .at = forward ? to : from};
    const qsizetype n = text.size();
    if (n == 0 || !before(from, to) || n > longestLine())
        return none;
    const Latin1Needle latin1(text);
    const WideNeedle wide(text);
    budget = std::max<qint64>(budget, 1);

    // Where an offset of a chunk falls.
    const auto placeIn = [](const Chunk &c, qsizetype offset) {
        const auto i = qsizetype(std::upper_bound(c.starts.begin(), c.starts.end(), quint32(offset))
                                 - c.starts.begin())
            - 1;
        return Place {.line = c.firstLine + i, .column = offset - c.starts[i]};
    };
    // The first start of a match in [lo, hi) of a chunk (the last going back) that lies within
    // one line and keeps surrogate pairs whole, or -1. A candidate turned down costs the budget
    // as much as the text, as looking for the next one may read that much again; once the
    // budget is spent, [lo, hi) is left as what has not been looked through.
    const auto search = [&](const Chunk &c, qsizetype &lo, qsizetype &hi) -> qsizetype {
        if (c.longest < n || (!c.isWide && !latin1.possible())) {
            lo = hi;
            return -1;
        }
        const auto *bytes = reinterpret_cast<const uchar *>(c.narrow.constData());
        const auto *units = reinterpret_cast<const char16_t *>(c.wide.constData());
        while (lo < hi) {
            const qsizetype p = c.isWide ? forward ? wide.first(units, c.length(), lo, hi)
                                                   : wide.last(units, c.length(), lo, hi)
                : forward ? latin1.first(bytes, c.length(), lo, hi)
                                         : latin1.last(bytes, c.length(), lo, hi);
            if (p < 0)
                break;
            const Place at = placeIn(c, p);
            const qsizetype lineStart = c.starts[at.line - c.firstLine];
            const qsizetype lineEnd = c.lineEnd(at.line - c.firstLine);
            const auto pairAt = [&](qsizetype i) {
                return c.isWide && i > lineStart && i < lineEnd && c.wide[i].isLowSurrogate()
                    && c.wide[i - 1].isHighSurrogate();
            };
            if (p + n <= lineEnd && !pairAt(p) && !pairAt(p + n)
                && (!c.isWide || wide.confirms(units + p)))
                return p;
            // Nothing that starts on this line after a match running past its end fits in it.
            if (forward)
                lo = p + n > lineEnd ? std::max(lineEnd, p + 1) : p + 1;
            else
                hi = p;
            budget -= n;
            if (budget <= 0)
                return -1;
        }
        lo = hi;
        return -1;
    };

    Place at = forward ? from : to;
    while (forward ? before(at, to) : before(from, at)) {
        if (budget <= 0)
            return {.match = false, .at = at};
        const qsizetype k = chunkOfLine(at.line);
        const Chunk &c = m_chunks[size_t(k)];
        const qsizetype offset
            = c.starts[at.line - c.firstLine] + std::min(at.column, lineLength(at.line));
        // The other end of the range within this chunk.
        const Place &end = forward ? to : from;
        const bool endHere = end.line >= c.firstLine && end.line < c.firstLine + c.lines();
        const qsizetype endOffset = endHere
            ? c.starts[end.line - c.firstLine] + std::min(end.column, lineLength(end.line))
            : forward ? c.length()
                      : 0;
        if (!forward && offset == 0) {
            // Nothing before the chunk's start: on to the end of the chunk before it.
            if (k == 0)
                break;
            at = {.line = c.firstLine - 1, .column = lineLength(c.firstLine - 1)};
            continue;
        }
        const qsizetype lo = forward ? offset : std::max<qint64>(endOffset, offset - budget);
        const qsizetype hi = forward ? std::min<qint64>(endOffset, offset + budget) : offset;
        budget -= hi - lo;
        qsizetype left = lo;
        qsizetype right = hi;
        const qsizetype p = search(c, left, right);
        if (p >= 0)
            return {.match = true, .at = placeIn(c, p)};
        if (left < right)
            return {.match = false, .at = placeIn(c, forward ? left : right)};
        if (forward && hi == endOffset)
            at = endHere ? to : Place {.line = c.firstLine + c.lines()};
        else if (!forward && lo == endOffset && endHere)
            at = from;
        else
            at = placeIn(c, forward ? hi : lo);
    }
    return none;
}
