// The received pane's line geometry: cutting a long line into blocks where its layout may be
// cut, measuring each block once, and keeping the cache right across edits.
#include "panes/lines/LineGeometry.h"

#include "panes/lines/LineCharacters.h"

#include <QFontMetricsF>

#include <algorithm>

namespace {

constexpr qsizetype blockColumns = 512;
constexpr qint32 unknown = -1;
constexpr qint32 notPlain = -2;
constexpr std::size_t cachedLineLimit = 1024;
constexpr std::size_t cachedBlockLimit = std::size_t(1) << 21;

} // namespace

using namespace LineCharacters;

void LineGeometry::setFont(const QFont &font)
{
    m_font = font;
    clear();
    m_advances.clear();
    m_foreign.clear();
    // Plain characters are measured one by one: only where the font neither kerns nor joins
    // them do their advances add up to the line's.
    m_plainAllowed = true;
    const QString sample = QStringLiteral("AVAWTaToTyLTYofiffl->=<=!=www.1lI0O,;\u00e9\u00ff"
                                          "\u65e5\u672c\u30ab\u30ca\ud55c\uad6d\u0416\u03a9");
    qint64 sum = 0;
    for (const QChar c : sample) {
        const qint64 a = advance(c.unicode());
        if (a < 0) {
            m_plainAllowed = false;
            break;
        }
        sum += a;
    }
    const Piece whole = layOut(sample, Qt::LeftToRight);
    if (sum != qRound64(whole.layout->lineAt(0).horizontalAdvance() * unit))
        m_plainAllowed = false;
}

qint64 LineGeometry::advance(char16_t c)
{
    if (m_advances.empty())
        m_advances.assign(0x10000, unknown);
    qint32 &a = m_advances[c];
    if (a == unknown) {
        a = notPlain;
        if (isPlain(c)) {
            const Piece alone = layOut(QString(QChar(c)), Qt::LeftToRight);
            a = qint32(qRound64(alone.layout->lineAt(0).horizontalAdvance() * unit));
        }
    }
    return a;
}

bool LineGeometry::foreign(char16_t c) const
{
    if (QChar::isSurrogate(c))
        return true;
    if (m_foreign.empty())
        m_foreign.assign(0x10000, -1);
    qint8 &f = m_foreign[c];
    if (f < 0)
        f = QFontMetricsF(m_font).inFont(QChar(c)) ? 0 : 1;
    return f != 0;
}

template<typename View> bool LineGeometry::foreignBefore(View text, qsizetype column) const
{
    // Looked for a little way only; past that, taken as foreign, which only lengthens a block.
    constexpr qsizetype reach = 4096;
    for (qsizetype i = column - 1; i >= 0; --i) {
        if (column - i > reach)
            return true;
        if (ofAScript(at(text, i)))
            return foreign(at(text, i));
    }
    return foreignAfter(text, column);
}

template<typename View> bool LineGeometry::foreignAfter(View text, qsizetype column) const
{
    // Common characters that start a stretch take the font of the script after them.
    constexpr qsizetype reach = 4096;
    for (qsizetype i = column; i < text.size() && i - column <= reach; ++i) {
        if (ofAScript(at(text, i)))
            return foreign(at(text, i));
    }
    return false;
}

LineGeometry::Measured &LineGeometry::measured(const LineStore &store, qint64 line)
{
    auto it = m_lines.find(line);
    if (it == m_lines.end()) {
        evict();
        it = m_lines.emplace(line, Measured()).first;
        it->second.startsValid = false;
    }
    Measured &m = it->second;
    m.used = ++m_uses;
    if (m.startsValid)
        return m;
    store.forEachLine(
        line, line,
        [&](auto text) {
            if (m.blocks.empty() || m.length != text.size()) {
                measureLine(text, m);
                return;
            }
            if (!m.directionKnown) {
                const auto [rightToLeft, strong] = directionOf(text);
                if (rightToLeft != m.rightToLeft) {
                    measureLine(text, m);
                    return;
                }
                m.strong = strong;
                m.directionKnown = true;
            }
            // Edited blocks are cut and measured again; the others stand as they were.
            std::vector<Block> blocks;
            blocks.reserve(m.blocks.size() + 4);
            for (std::size_t k = 0; k < m.blocks.size(); ++k) {
                const Block &b = m.blocks[k];
                const qsizetype end = k + 1 < m.blocks.size() ? m.blocks[k + 1].start : m.length;
                if (!b.dirty) {
                    blocks.push_back(b);
                    continue;
                }
                for (qsizetype i = b.start; i < end; ++i) {
                    if (isExplicitDirection(at(text, i)) && i < m.explicitAt) {
                        measureLine(text, m);
                        return;
                    }
                }
                const std::size_t first = blocks.size();
                if (m.oneWay && !oneWay(text.sliced(b.start, end - b.start))) {
                    measureLine(text, m);
                    return;
                }
                cut(text, m, b.start, end, blocks);
                for (std::size_t j = first; j < blocks.size(); ++j)
                    measureBlock(text, m.rightToLeft, blocks[j],
                                 j + 1 < blocks.size() ? blocks[j + 1].start : end);
            }
            m.blocks = std::move(blocks);
        },
        [] {});
    placeBlocks(m);
    return m;
}

template<typename View> void LineGeometry::measureLine(View text, Measured &m)
{
    m.length = text.size();
    std::tie(m.rightToLeft, m.strong) = directionOf(text);
    m.directionKnown = true;
    m.explicitAt = m.length;
    for (qsizetype i = 0; i < m.length; ++i) {
        if (isExplicitDirection(at(text, i))) {
            m.explicitAt = i;
            break;
        }
    }
    m.oneWay = !m.rightToLeft && oneWay(text);
    m.pairs = m.oneWay ? decltype(m.pairs)() : bracketPairs(text);
    m.blocks.clear();
    cut(text, m, 0, m.length, m.blocks);
    for (std::size_t k = 0; k < m.blocks.size(); ++k)
        measureBlock(text, m.rightToLeft, m.blocks[k],
                     k + 1 < m.blocks.size() ? m.blocks[k + 1].start : m.length);
}

template<typename View>
void LineGeometry::cut(View text, const Measured &m, qsizetype from, qsizetype to,
                       std::vector<Block> &out) const
{
    // A block that does not start at a tab stop ends after its first tab, so every tab inside
    // a block stops where it does in the whole line, whatever the direction. An explicit
    // direction control may reorder, and so kern, anything after it: such a line is not cut.
    // Nor is a pair of brackets cut: it takes its direction from all it holds.
    auto pair = std::lower_bound(m.pairs.begin(), m.pairs.end(), from,
                                 [](const auto &span, qsizetype p) { return span.second < p; });
    const auto paired = [&](qsizetype p) {
        while (pair != m.pairs.end() && pair->second < p)
            ++pair;
        return pair != m.pairs.end() && pair->first < p;
    };
    // Nor are common characters cut from a script in another font than the pane's: they take
    // its font.
    bool foreignBeforeP = foreignBefore(text, from);
    for (qsizetype s = from; s < to;) {
        const bool atStop = s == 0 || at(text, s - 1) == u'\t';
        const bool foreignAtStart = foreignBeforeP;
        qsizetype p = m.explicitAt < m.length && !m.oneWay ? to : s + 1;
        for (; p < to; ++p) {
            if (ofAScript(at(text, p - 1)))
                foreignBeforeP = foreign(at(text, p - 1));
            if ((!atStop && at(text, p - 1) == u'\t')
                || (p - s >= blockColumns
                    && safeCut(text, p, m.rightToLeft, m_plainAllowed, m.oneWay) && !paired(p)
                    && (ofAScript(at(text, p)) || (!foreignBeforeP && !foreignAfter(text, p)))))
                break;
        }
        out.push_back(
            {.start = s, .atStop = atStop, .foreignBefore = foreignAtStart, .dirty = true});
        s = p;
    }
}

template<typename View>
void LineGeometry::measureBlock(View text, bool rightToLeft, Block &block, qsizetype end)
{
    block.dirty = false;
    if (m_plainAllowed) {
        qint64 x = 0;
        qint64 pre = 0;
        bool tab = false;
        bool plain = true;
        // Common characters measured alone are in the pane's font: in a stretch that takes
        // another, they are laid out.
        bool foreignHere = block.foreignBefore;
        for (qsizetype i = block.start; i < end && plain; ++i) {
            const char16_t c = at(text, i);
            if (ofAScript(c))
                foreignHere = foreign(c);
            if (c != u'\t') {
                const qint64 a = advance(c);
                plain = a >= 0 && (!foreignHere || ofAScript(c));
                x += a;
            } else if (!tab) {
                tab = true;
                pre = x;
                x = 0;
            } else {
                x = nextStop(x);
            }
        }
        if (plain) {
            block.tab = tab;
            block.pre = tab ? pre : x;
            block.post = tab ? x : 0;
            block.plain = true;
            return;
        }
    }
    // Laid out: a block at a stop whole, since it always starts at one; another, what comes
    // before its first tab and what comes after it from a stop.
    const QString whole = text.sliced(block.start, end - block.start).toString();
    const qsizetype tab = block.atStop ? -1 : whole.indexOf(u'\t');
    const auto width = [&](const QString &part) {
        const Piece laid = layOut(part, rightToLeft ? Qt::RightToLeft : Qt::LeftToRight);
        return qRound64(laid.layout->lineAt(0).horizontalAdvance() * unit);
    };
    block.plain = false;
    block.tab = tab >= 0;
    block.pre = width(tab >= 0 ? whole.first(tab) : whole);
    block.post = tab >= 0 ? width(whole.sliced(tab + 1)) : 0;
}

void LineGeometry::placeBlocks(Measured &m) const
{
    m.starts.resize(m.blocks.size() + 1);
    qint64 x = 0;
    for (std::size_t k = 0; k < m.blocks.size(); ++k) {
        const Block &b = m.blocks[k];
        m.starts[k] = x;
        x = b.tab ? nextStop(x + b.pre) + b.post : x + b.pre;
    }
    m.starts.back() = x;
    m.startsValid = true;
}

qsizetype LineGeometry::blockOf(const Measured &m, qsizetype column) const
{
    const auto after = std::upper_bound(m.blocks.begin(), m.blocks.end(), column,
                                        [](qsizetype c, const Block &b) { return c < b.start; });
    return std::max<qsizetype>(0, qsizetype(after - m.blocks.begin()) - 1);
}

void LineGeometry::editedInLine(qint64 line, qsizetype column, QStringView removedText,
                                QStringView added)
{
    m_recent.clear();
    const auto it = m_lines.find(line);
    if (it == m_lines.end())
        return;
    Measured &m = it->second;
    const qsizetype removed = removedText.size();
    const qsizetype delta = added.size() - removed;
    // The direction is the first strong character's: an edit before it may change it, and a
    // change of direction moves every cut.
    const auto [addedRightToLeft, addedStrong] = directionOf(added);
    // An explicit direction control changes the levels of everything after it: no cut may
    // stand there.
    // A bracket added or removed may pair others anew.
    bool remeasure = m.length + delta <= wholeLine || m.blocks.empty()
        || std::any_of(added.begin(), added.end(),
                       [](QChar c) { return isExplicitDirection(c.unicode()); })
        || (!m.oneWay && (holdsBracket(added) || holdsBracket(removedText)));
    if (!remeasure && m.directionKnown && (m.strong < 0 || column <= m.strong)) {
        if (addedStrong >= 0) {
            // Nothing strong stands before the edit: the first strong character is added.
            remeasure = addedRightToLeft != m.rightToLeft;
            m.strong = column + addedStrong;
        } else if (m.strong >= 0 && m.strong < column + removed) {
            // It went: the next one is looked for on the next use, from the line's start.
            m.directionKnown = false;
        } else if (m.strong >= 0) {
            m.strong += delta;
        }
    }
    if (remeasure) {
        m_lines.erase(it);
        return;
    }
    for (auto &[open, close] : m.pairs) {
        open += open >= column + removed ? delta : 0;
        close += close >= column + removed ? delta : 0;
    }
    if (m.explicitAt >= column + removed)
        m.explicitAt += delta;
    else if (m.explicitAt > column)
        m.explicitAt = column;

    // The blocks the edit touched, and those whose cut lies beside it, are cut again.
    const qsizetype first = column > 0 ? blockOf(m, column - 1) : 0;
    auto kept = std::lower_bound(m.blocks.begin() + first + 1, m.blocks.end(), column + removed + 1,
                                 [](const Block &b, qsizetype c) { return b.start < c; });
    for (auto b = kept; b != m.blocks.end(); ++b)
        b->start += delta;
    const qsizetype start = m.blocks[std::size_t(first)].start;
    kept = m.blocks.erase(m.blocks.begin() + first, kept);
    m.blocks.insert(kept, {.start = start, .dirty = true});
    m.length += delta;
    m.startsValid = false;
}

void LineGeometry::editedLines(qint64 first, qint64 last, qint64 shift)
{
    m_recent.clear();
    std::vector<std::pair<qint64, Measured>> moved;
    for (auto it = m_lines.begin(); it != m_lines.end();) {
        if (it->first < first || (it->first > last && shift == 0)) {
            ++it;
            continue;
        }
        if (it->first > last)
            moved.emplace_back(it->first + shift, std::move(it->second));
        it = m_lines.erase(it);
    }
    for (auto &[line, m] : moved)
        m_lines.emplace(line, std::move(m));
}

void LineGeometry::evict()
{
    // The line used longest ago goes, while there are too many lines or blocks.
    for (;;) {
        std::size_t blocks = 0;
        auto oldest = m_lines.end();
        for (auto it = m_lines.begin(); it != m_lines.end(); ++it) {
            blocks += it->second.blocks.size();
            if (oldest == m_lines.end() || it->second.used < oldest->second.used)
                oldest = it;
        }
        if (oldest == m_lines.end()
            || (m_lines.size() < cachedLineLimit && blocks < cachedBlockLimit))
            return;
        m_lines.erase(oldest);
    }
}
