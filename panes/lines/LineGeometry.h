// Where the received pane draws the columns of its lines, as a whole-line QTextLayout puts them.
// A short line is laid out whole each time. A long line is cut into blocks of about 512
// columns, at places the whole line's layout may be cut (no bidi run and no shaping crosses
// them), each block measured once by the real advances of its characters, and where each block
// starts is kept: a column's x, the column at an x and the stretch in sight then cost the same
// on a line of 65,536 or of 8 million characters. A cache of the view's, never the line's.
#pragma once

#include "panes/lines/LineStore.h"

#include <QFont>
#include <QList>
#include <QString>
#include <QTextLayout>

#include <memory>
#include <unordered_map>
#include <vector>

class LineGeometry
{
public:
    // Lines up to this length are laid out whole; longer ones are measured in blocks.
    static constexpr qsizetype wholeLine = 2048;
    // As the send pane's document: tab stops every 80 pixels.
    static constexpr qreal tabStop = 80;

    void setFont(const QFont &font);
    void clear()
    {
        m_lines.clear();
        m_recent.clear();
    }
    // An edit inside one line: the text removed at `column` became the text added.
    void editedInLine(qint64 line, qsizetype column, QStringView removed, QStringView added);
    // Lines first to last were replaced; the lines after them moved by `shift` lines.
    void editedLines(qint64 first, qint64 last, qint64 shift);

    qreal width(const LineStore &store, qint64 line);
    qreal x(const LineStore &store, qint64 line, qsizetype column);
    qsizetype column(const LineStore &store, qint64 line, qreal x);

    // A stretch of a line laid out on its own, drawn with its left edge at x in the line.
    struct Piece
    {
        std::shared_ptr<const QTextLayout> layout;
        qsizetype first = 0; // the line's column its text starts at
        qreal x = 0;
        QList<int> marks; // where a character is shown as a mark (LineMarks.h)
    };
    // The stretches that draw the line between two x, and the width of the whole line.
    std::vector<Piece> pieces(const LineStore &store, qint64 line, qreal fromX, qreal toX,
                              qreal *lineWidth);

    qsizetype cachedLines() const { return qsizetype(m_lines.size()); }

private:
    // Widths are counted as the layout counts them: in 64ths of a pixel.
    static constexpr qint64 unit = 64;
    static constexpr qint64 stopUnits = qint64(tabStop) * unit;
    // The stop a tab at x reaches, as the layout finds it: its division rounds to the nearest
    // 64th of a stop, so a tab less than 1/128 of a stop before one goes on to the next.
    static qint64 nextStop(qint64 x) { return ((x + stopUnits / 128) / stopUnits + 1) * stopUnits; }
    struct Block
    {
        qsizetype start = 0;
        qint64 pre = 0; // up to its first tab, or all of it
        qint64 post = 0; // after its first tab, from the stop the tab reaches
        bool tab = false;
        bool atStop = false; // starts the line or follows a tab; if not, ends after its tab
        bool plain = false; // measured by the advances of its characters alone
        bool foreignBefore = false; // common characters at its start take another font
        bool dirty = false; // edited: to be cut and measured again
    };
    struct Measured
    {
        qsizetype length = 0;
        bool rightToLeft = false;
        qsizetype strong = -1; // the character that set the direction, if any
        bool directionKnown = true; // false: that character went, the next is to be found
        qsizetype explicitAt = 0; // the first explicit direction control: the line is one block
        bool oneWay = false; // left to right with nothing right to left: one bidi level
        std::vector<std::pair<qsizetype, qsizetype>> pairs; // paired brackets, if not one way
        std::vector<Block> blocks;
        std::vector<qint64> starts; // where each block starts, and the line's end
        bool startsValid = false;
        quint64 used = 0;
    };

    Measured &measured(const LineStore &store, qint64 line);
    template<typename View> void measureLine(View text, Measured &m);
    template<typename View>
    void cut(View text, const Measured &m, qsizetype from, qsizetype to,
             std::vector<Block> &out) const;
    template<typename View>
    void measureBlock(View text, bool rightToLeft, Block &block, qsizetype end);
    // The x a stretch of plain characters reaches, from a column at x.
    template<typename View> qint64 plainX(View text, qint64 x, qsizetype from, qsizetype to)
    {
        for (qsizetype i = from; i < to; ++i) {
            const char16_t c = QChar(text[i]).unicode();
            x = c == u'\t' ? nextStop(x) : x + advance(c);
        }
        return x;
    }
    void placeBlocks(Measured &m) const;
    qsizetype blockOf(const Measured &m, qsizetype column) const;
    qint64 advance(char16_t c);
    // Whether characters of the script of c take another font than the pane's.
    bool foreign(char16_t c) const;
    // Whether the common characters at a column take another font than the pane's: that of the
    // script before them, or at the line's start, after them.
    template<typename View> bool foreignBefore(View text, qsizetype column) const;
    // Whether the first character of a script from a column on takes another font.
    template<typename View> bool foreignAfter(View text, qsizetype column) const;
    void evict();

    // Lays out text on one line as the pane draws it, its tabs ending where the whole line's
    // do when they are given (in the stretch's own x).
    Piece layOut(QString text, Qt::LayoutDirection direction,
                 const QList<qreal> &tabEnds = {}) const;
    // Blocks first to last laid out together, drawn where they stand in the line; alone: for
    // drawing, without the block before.
    Piece layOutBlocks(const LineStore &store, qint64 line, const Measured &m, qsizetype first,
                       qsizetype last, bool alone = false) const;
    // A left-to-right stretch of plain characters, which may start and end at any column.
    Piece layOutPlain(const LineStore &store, qint64 line, Measured &m, qsizetype from,
                      qsizetype to);
    // The x of a column where a stretch may begin or end, in 64ths.
    qint64 edgeX(const LineStore &store, qint64 line, Measured &m, qsizetype column);
    // The nearest column at or before (after) one where a left-to-right stretch may be cut.
    qsizetype cleanBefore(const LineStore &store, qint64 line, const Measured &m,
                          qsizetype column) const;
    qsizetype cleanAfter(const LineStore &store, qint64 line, const Measured &m,
                         qsizetype column) const;
    qsizetype blockEnd(const Measured &m, qsizetype k) const
    {
        return std::size_t(k) + 1 < m.blocks.size() ? m.blocks[std::size_t(k) + 1].start : m.length;
    }

    // The blocks laid out last: a caret moving in a block, and its repaint, lay it out once.
    struct Recent
    {
        qint64 line = 0;
        qsizetype first = 0;
        qsizetype last = 0;
        bool alone = false;
        Piece piece;
    };
    mutable std::vector<Recent> m_recent;

    QFont m_font;
    bool m_plainAllowed = true; // the font neither kerns nor joins plain characters
    std::vector<qint32> m_advances; // by UTF-16 unit: unknown, not plain, or its advance
    mutable std::vector<qint8> m_foreign; // by UTF-16 unit: unknown (-1), no, yes
    std::unordered_map<qint64, Measured> m_lines;
    quint64 m_uses = 0;
};
