// The received pane's line geometry, asked: a column's x, the column at an x, and the
// stretches that draw a line, each laid out on its own where the whole line may be cut.
#include "panes/lines/LineGeometry.h"

#include "panes/lines/LineCharacters.h"
#include "panes/lines/LineMarks.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr qint64 unit = 64;

// The layout counts in 64ths of a pixel.
qreal pixels(qint64 x)
{
    return qreal(x) / unit;
}

// Inside a block of plain characters, a stretch may be cut beside a tab or beside a
// left-to-right letter: such a character keeps the line's own level, and none of them is shaped
// with its neighbours.
bool cleanBetween(QChar before, QChar after)
{
    return before == u'\t' || after == u'\t' || before.direction() == QChar::DirL
        || after.direction() == QChar::DirL;
}

} // namespace

LineGeometry::Piece LineGeometry::layOut(QString text, Qt::LayoutDirection direction,
                                         const QList<qreal> &tabEnds) const
{
    Piece piece;
    piece.marks = showMarks(text);
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabStopDistance(tabStop);
    option.setTextDirection(direction);
    option.setFlags(QTextOption::IncludeTrailingSpaces);
    // Each tab goes to the first stop past it, so a stretch whose tabs end where the line's do
    // lists exactly those ends.
    QList<QTextOption::Tab> tabs;
    for (const qreal end : tabEnds)
        tabs.append(QTextOption::Tab(end, QTextOption::LeftTab));
    option.setTabs(tabs);
    auto layout = std::make_shared<QTextLayout>(text, m_font);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    layout->beginLayout();
    QTextLine line = layout->createLine();
    line.setLineWidth(1e7);
    line.setPosition(QPointF(0, 0));
    layout->endLayout();
    piece.layout = std::move(layout);
    return piece;
}

LineGeometry::Piece LineGeometry::layOutBlocks(const LineStore &store, qint64 line,
                                               const Measured &m, qsizetype first, qsizetype last,
                                               bool alone) const
{
    for (const Recent &recent : m_recent) {
        if (recent.line == line && recent.first == first && recent.last == last
            && recent.alone == alone)
            return recent.piece;
    }
    const qsizetype asked = first;
    // With tabs, from a block at a tab stop, so every tab stops where the line's do: back to the
    // block after the tab before. A block drawn alone that is not at a stop is given its tabs'
    // ends: its one tab ends where the next block starts; after an explicit direction control,
    // where a block laid out from a stop has them.
    const Block &b = m.blocks[std::size_t(first)];
    QList<qreal> tabEnds;
    if (alone && !b.atStop && b.tab && !m.rightToLeft) {
        const qsizetype end = blockEnd(m, first);
        const QString text = store.lineText(line, b.start, end - b.start);
        if (text.indexOf(u'\t') == text.size() - 1) {
            tabEnds.append(pixels(m.starts[std::size_t(first) + 1] - m.starts[std::size_t(first)]));
        } else {
            const Piece fromStop = layOutBlocks(store, line, m, first, first);
            for (qsizetype t = text.indexOf(u'\t'); t >= 0; t = text.indexOf(u'\t', t + 1))
                tabEnds.append(
                    fromStop.x
                    + fromStop.layout->lineAt(0).cursorToX(int(b.start + t + 1 - fromStop.first))
                    - pixels(m.starts[std::size_t(first)]));
        }
    }
    bool tabs = false;
    for (qsizetype k = first; k <= last && !alone; ++k)
        tabs = tabs || m.blocks[std::size_t(k)].tab;
    while (tabs && first > 0 && !m.blocks[std::size_t(first)].atStop)
        --first;
    const qsizetype start = m.blocks[std::size_t(first)].start;
    Piece piece = layOut(store.lineText(line, start, blockEnd(m, last) - start),
                         m.rightToLeft ? Qt::RightToLeft : Qt::LeftToRight, tabEnds);
    piece.first = start;
    // Right to left, a block's first column is at its right edge, where the blocks before it
    // end, counted from the line's right end.
    piece.x = m.rightToLeft ? pixels(m.starts.back() - m.starts[std::size_t(first)])
            - piece.layout->lineAt(0).horizontalAdvance()
                            : pixels(m.starts[std::size_t(first)]);
    if (m_recent.size() == 4)
        m_recent.erase(m_recent.begin());
    m_recent.push_back(
        {.line = line, .first = asked, .last = last, .alone = alone, .piece = piece});
    return piece;
}

LineGeometry::Piece LineGeometry::layOutPlain(const LineStore &store, qint64 line, Measured &m,
                                              qsizetype from, qsizetype to)
{
    const qint64 x = edgeX(store, line, m, from);
    const QString text = store.lineText(line, from, to - from);
    QList<qreal> tabEnds;
    qint64 at = x;
    for (const QChar c : text) {
        at = c == u'\t' ? nextStop(at) : at + advance(c.unicode());
        if (c == u'\t')
            tabEnds.append(pixels(at - x));
    }
    Piece piece = layOut(text, Qt::LeftToRight, tabEnds);
    piece.first = from;
    piece.x = pixels(x);
    return piece;
}

qint64 LineGeometry::edgeX(const LineStore &store, qint64 line, Measured &m, qsizetype column)
{
    if (column >= m.length)
        return m.starts.back();
    const qsizetype k = blockOf(m, column);
    const Block &b = m.blocks[std::size_t(k)];
    qint64 x = m.starts[std::size_t(k)];
    if (column > b.start)
        store.forEachLine(
            line, line, [&](auto text) { x = plainX(text, x, b.start, column); }, [] {});
    return x;
}

qsizetype LineGeometry::cleanBefore(const LineStore &store, qint64 line, const Measured &m,
                                    qsizetype column) const
{
    const Block &b = m.blocks[std::size_t(blockOf(m, column))];
    if (!b.plain || column <= b.start || column >= m.explicitAt)
        return b.start;
    // A stretch starts at a character of a script: common ones would take the font of what
    // follows them, not of what stands before them in the line.
    const QString text = store.lineText(line, b.start, column - b.start + 1);
    for (qsizetype i = std::min(column, b.start + text.size() - 1); i > b.start; --i) {
        const QChar after = text[i - b.start];
        if (LineCharacters::ofAScript(after.unicode())
            && (m.oneWay || cleanBetween(text[i - 1 - b.start], after)))
            return i;
    }
    return b.start;
}

qsizetype LineGeometry::cleanAfter(const LineStore &store, qint64 line, const Measured &m,
                                   qsizetype column) const
{
    if (column >= m.length)
        return m.length;
    const std::size_t k = std::size_t(blockOf(m, column));
    const Block &b = m.blocks[k];
    const qsizetype end = k + 1 < m.blocks.size() ? m.blocks[k + 1].start : m.length;
    if (column == b.start)
        return column;
    if (!b.plain || column >= m.explicitAt)
        return end;
    if (m.oneWay)
        return column;
    const QString text = store.lineText(line, column - 1, end - column + 1);
    for (qsizetype i = column; i < end; ++i) {
        if (cleanBetween(text[i - column], text[i - column + 1]))
            return i;
    }
    return end;
}

qreal LineGeometry::width(const LineStore &store, qint64 line)
{
    const qsizetype length = store.lineLength(line);
    if (length <= wholeLine)
        return layOut(store.lineText(line), Qt::LayoutDirectionAuto)
            .layout->lineAt(0)
            .naturalTextWidth();
    return pixels(measured(store, line).starts.back());
}

qreal LineGeometry::x(const LineStore &store, qint64 line, qsizetype column)
{
    const qsizetype length = store.lineLength(line);
    column = std::clamp<qsizetype>(column, 0, length);
    if (length <= wholeLine)
        return layOut(store.lineText(line), Qt::LayoutDirectionAuto)
            .layout->lineAt(0)
            .cursorToX(int(column));
    Measured &m = measured(store, line);
    const qsizetype k = blockOf(m, column);
    const Block &b = m.blocks[std::size_t(k)];
    if (b.plain && !m.rightToLeft)
        return pixels(edgeX(store, line, m, column));
    // Between two blocks the layout puts the caret at their boundary: it takes the run of the
    // line's own direction there, and a block starts beside such a run.
    if (column == b.start && k > 0)
        return pixels(m.rightToLeft ? m.starts.back() - m.starts[std::size_t(k)]
                                    : m.starts[std::size_t(k)]);
    const Piece piece = layOutBlocks(store, line, m, k, k);
    return piece.x + piece.layout->lineAt(0).cursorToX(int(column - piece.first));
}

qsizetype LineGeometry::column(const LineStore &store, qint64 line, qreal x)
{
    const qsizetype length = store.lineLength(line);
    if (length <= wholeLine)
        return layOut(store.lineText(line), Qt::LayoutDirectionAuto)
            .layout->lineAt(0)
            .xToCursor(x, QTextLine::CursorBetweenCharacters);
    Measured &m = measured(store, line);
    const qint64 u = qRound64(x * unit);
    const qint64 logical = m.rightToLeft ? m.starts.back() - u : u;
    const auto blocks = qsizetype(m.blocks.size());
    const qsizetype k = std::clamp<qsizetype>(
        std::upper_bound(m.starts.begin(), m.starts.begin() + blocks, logical) - m.starts.begin()
            - 1,
        0, blocks - 1);
    const Block &b = m.blocks[std::size_t(k)];
    if (b.plain && !m.rightToLeft) {
        // The column boundary nearest x.
        const qsizetype end = k + 1 < blocks ? m.blocks[std::size_t(k + 1)].start : m.length;
        qsizetype found = end;
        store.forEachLine(
            line, line,
            [&](auto text) {
                qint64 from = m.starts[std::size_t(k)];
                for (qsizetype i = b.start; i < end; ++i) {
                    const qint64 to = plainX(text, from, i, i + 1);
                    if (2 * u < from + to) {
                        found = i;
                        return;
                    }
                    from = to;
                }
            },
            [] {});
        return found;
    }
    // With its neighbours: where a click falls between two blocks, the layout decides by the
    // runs on both sides.
    const Piece piece
        = layOutBlocks(store, line, m, std::max<qsizetype>(0, k - 1), std::min(k + 1, blocks - 1));
    return piece.first
        + piece.layout->lineAt(0).xToCursor(x - piece.x, QTextLine::CursorBetweenCharacters);
}

std::vector<LineGeometry::Piece> LineGeometry::pieces(const LineStore &store, qint64 line,
                                                      qreal fromX, qreal toX, qreal *lineWidth)
{
    std::vector<Piece> out;
    const qsizetype length = store.lineLength(line);
    if (length <= wholeLine) {
        out.push_back(layOut(store.lineText(line), Qt::LayoutDirectionAuto));
        *lineWidth = out.front().layout->lineAt(0).naturalTextWidth();
        return out;
    }
    Measured &m = measured(store, line);
    *lineWidth = pixels(m.starts.back());
    if (fromX > *lineWidth)
        return out;
    if (m.rightToLeft) {
        // Block by block, each where the blocks before it end, counted from the right.
        const qint64 from = m.starts.back() - qRound64(toX * unit);
        const qint64 to = m.starts.back() - qRound64(fromX * unit);
        const auto blocks = m.blocks.size();
        for (auto k = std::size_t(std::max<qsizetype>(
                 0,
                 std::upper_bound(m.starts.begin(), m.starts.begin() + qsizetype(blocks), from)
                     - m.starts.begin() - 1));
             k < blocks && m.starts[k] <= to; ++k)
            out.push_back(layOutBlocks(store, line, m, qsizetype(k), qsizetype(k), true));
        return out;
    }
    // Left to right, from a clean cut before what is in sight to one after it: a stretch for
    // each run of plain blocks, and each other block on its own.
    const qsizetype first
        = cleanBefore(store, line, m, std::max<qsizetype>(0, column(store, line, fromX) - 1));
    const qsizetype last
        = cleanAfter(store, line, m, std::min(length, column(store, line, toX) + 1));
    for (qsizetype at = first; at < last;) {
        qsizetype k = blockOf(m, at);
        if (!m.blocks[std::size_t(k)].plain) {
            out.push_back(layOutBlocks(store, line, m, k, k, true));
            at = blockEnd(m, k);
            continue;
        }
        while (std::size_t(k) + 1 < m.blocks.size() && blockEnd(m, k) < last
               && m.blocks[std::size_t(k) + 1].plain)
            ++k;
        const qsizetype end = std::min(last, blockEnd(m, k));
        out.push_back(layOutPlain(store, line, m, at, end));
        at = end;
    }
    return out;
}
