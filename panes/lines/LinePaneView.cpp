// The received pane's view: a fixed line height, the top line as the scroll bar's value, and
// only the lines in sight laid out, each for the one paint, so no line keeps a layout.
#include "panes/lines/LinePane.h"

#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

#include <cmath>
#include <limits>

namespace {

// As the send pane's document: a margin of 4 pixels.
constexpr int margin = 4;

} // namespace

void LinePane::changeEvent(QEvent *event)
{
    if (event)
        QAbstractScrollArea::changeEvent(event);
    if (!event || event->type() == QEvent::FontChange) {
        const QFontMetrics metrics(font());
        m_lineHeight = std::max(1, metrics.height());
        m_ascent = metrics.ascent();
        m_advance = std::max<qreal>(1, QFontMetricsF(font()).horizontalAdvance(u'x'));
        m_geometry.setFont(font());
        m_widestSeen = 0;
        updateGeometryOfText();
        viewport()->update();
    }
}

void LinePane::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateGeometryOfText();
}

int LinePane::visibleLines() const
{
    return std::max(1, (viewport()->height() - margin) / m_lineHeight);
}

LineScroll LinePane::lineScroll() const
{
    return {.lines = m_store.lineCount(), .lineHeight = m_lineHeight, .visible = visibleLines()};
}

int LinePane::lineTop(qint64 line) const
{
    return lineScroll().clampedY(line, topLine(), margin);
}

void LinePane::setTopLine(qint64 top)
{
    const LineScroll scroll = lineScroll();
    top = std::clamp<qint64>(top, 0, scroll.lastTop());
    QScrollBar *vertical = verticalScrollBar();
    m_barTop = top;
    vertical->setValue(scroll.barValue(top));
    m_barTop.reset();
    // A scaled bar may stand still while the top line moves.
    showFrom(top, 0);
}

void LinePane::updateGeometryOfText()
{
    // The thumb tells the truth: a page of the lines, at the end when the last line shows.
    const int visible = visibleLines();
    QScrollBar *vertical = verticalScrollBar();
    const LineScroll scroll = lineScroll();
    const qint64 top = std::min(m_top, scroll.lastTop());
    m_barTop = top;
    vertical->setRange(0, scroll.barMaximum());
    m_barTop.reset();
    setTopLine(top);
    vertical->setPageStep(visible);
    vertical->setSingleStep(1);
    // The bar is an int: a pasted line of hundreds of millions of characters scrolls as far as
    // it counts.
    const qreal widest = std::min<qreal>(
        std::max(qreal(m_store.longestLine()) * m_advance, m_widestSeen), LineScroll::barLimit);
    QScrollBar *horizontal = horizontalScrollBar();
    horizontal->setRange(
        0, std::max(0, int(std::ceil(widest)) + 2 * margin + 1 - viewport()->width()));
    horizontal->setPageStep(viewport()->width());
    horizontal->setSingleStep(int(std::ceil(m_advance)) * 2);
}

void LinePane::scrollContentsBy(int dx, int dy)
{
    // The bar counts lines, scaled when there are more than it holds: its move is read as a
    // top line, unless the program moved it to show a line of its choice.
    showFrom(dy == 0 ? m_top : m_barTop.value_or(lineScroll().topOf(verticalScrollBar()->value())),
             dx);
}

void LinePane::showFrom(qint64 top, int dx)
{
    // A line arriving at the end, the wheel, a step of the bar: what is drawn moves and only
    // what comes into sight is painted, with the top margin painted afresh.
    const qint64 lines = m_top - top;
    m_top = top;
    if (lines == 0 && dx == 0)
        return;
    if ((dx != 0 && lines != 0) || std::abs(lines) * m_lineHeight >= viewport()->height()
        || std::abs(dx) >= viewport()->width()) {
        viewport()->update();
        return;
    }
    const int pixels = int(lines) * m_lineHeight;
    viewport()->scroll(dx, pixels);
    // The blank margin at the top moved with the lines: paint it, and where it went, afresh.
    if (pixels != 0)
        viewport()->update(0, 0, viewport()->width(), margin);
    if (pixels > 0)
        viewport()->update(0, pixels, viewport()->width(), margin);
}

void LinePane::updateLines(qint64 fromPosition, qint64 toPosition)
{
    const qint64 first = m_store.place(std::min(fromPosition, toPosition)).line;
    const qint64 last = m_store.place(std::max(fromPosition, toPosition)).line;
    const int top = std::max(0, lineTop(first));
    const int bottom = std::min(viewport()->height(), lineTop(last) + m_lineHeight);
    if (bottom > top)
        viewport()->update(0, top, viewport()->width(), bottom - top);
}

qreal LinePane::columnX(qint64 line, qsizetype column) const
{
    // Within what the horizontal bar and a rectangle count, however long the line.
    return std::min<qreal>(m_geometry.x(m_store, line, column), LineScroll::barLimit);
}

qsizetype LinePane::columnAt(qint64 line, qreal x) const
{
    return m_geometry.column(m_store, line, x);
}

QRect LinePane::positionRect(qint64 position) const
{
    const LineStore::Place place = m_store.place(position);
    const int x
        = margin - horizontalScrollBar()->value() + qRound(columnX(place.line, place.column));
    return QRect(x, lineTop(place.line), 1, m_lineHeight);
}

qint64 LinePane::positionAt(const QPoint &point) const
{
    const qint64 row = point.y() < margin ? -1 : (point.y() - margin) / m_lineHeight;
    const qint64 line = std::clamp<qint64>(topLine() + row, 0, m_store.lineCount() - 1);
    const qreal x = point.x() - margin + horizontalScrollBar()->value();
    return m_store.position({.line = line, .column = columnAt(line, std::max<qreal>(0, x))});
}

void LinePane::scrollToPosition(qint64 position)
{
    const LineStore::Place place = m_store.place(position);
    const int visible = visibleLines();
    if (place.line < topLine())
        setTopLine(place.line);
    else if (place.line >= topLine() + visible)
        setTopLine(place.line - visible + 1);
    QScrollBar *horizontal = horizontalScrollBar();
    const int x = qRound(columnX(place.line, place.column));
    // The range reaches the caret's line end before the bar is moved there.
    if (x > horizontal->maximum()) {
        const qreal width = m_geometry.width(m_store, place.line);
        if (width > m_widestSeen) {
            m_widestSeen = width;
            updateGeometryOfText();
        }
    }
    const int room = viewport()->width() - 2 * margin - 1;
    if (x < horizontal->value())
        horizontal->setValue(x);
    else if (x > horizontal->value() + room)
        horizontal->setValue(x - room);
}

void LinePane::ensureCaretVisible()
{
    scrollToPosition(m_caret);
}

void LinePane::restartBlinking()
{
    m_caretShown = true;
    const int flash = QApplication::cursorFlashTime();
    if (hasFocus() && !m_locked && flash > 0)
        m_blink.start(flash / 2, this);
    else
        m_blink.stop();
}

void LinePane::paintEvent(QPaintEvent *event)
{
    // Piece by piece: after a scroll only a strip or two need painting, and their bounding
    // rectangle would often be the whole view.
    QPainter painter(viewport());
    for (const QRect &area : event->region())
        paintArea(painter, area);
}

void LinePane::paintArea(QPainter &painter, const QRect &area)
{
    const qint64 top = topLine();
    const qint64 lines = m_store.lineCount();
    const qint64 first = std::min(lines - 1, top + std::max(0, area.top() - margin) / m_lineHeight);
    const qint64 last
        = std::min(lines - 1, top + std::max(0, area.bottom() - margin) / m_lineHeight);
    const qreal left = margin - horizontalScrollBar()->value();
    const qreal fromX = area.left() - left;
    const qreal toX = area.right() + 1 - left;

    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    QTextCharFormat selected;
    selected.setBackground(palette().brush(group, QPalette::Highlight));
    selected.setForeground(palette().brush(group, QPalette::HighlightedText));
    QTextCharFormat marked;
    marked.setForeground(palette().brush(group, QPalette::PlaceholderText));
    const qint64 selectionStart = std::min(m_anchor, m_caret);
    const qint64 selectionEnd = std::max(m_anchor, m_caret);
    const LineStore::Place caret = m_store.place(m_caret);
    const bool drawCaret = hasFocus() && !m_locked && m_caretShown;
    const qreal breakWidth = QFontMetricsF(font()).horizontalAdvance(u' ');
    bool widened = false;

    painter.setPen(palette().color(QPalette::Text));
    qint64 lineStart = m_store.position({.line = first, .column = 0});
    for (qint64 line = first; line <= last; ++line) {
        const qsizetype length = m_store.lineLength(line);
        const qreal y = lineTop(line);
        qreal width = 0;
        for (const LineGeometry::Piece &piece :
             m_geometry.pieces(m_store, line, fromX, toX, &width)) {
            const qint64 shown = piece.layout->text().size();
            QList<QTextLayout::FormatRange> formats;
            for (const int mark : piece.marks)
                formats.append({.start = mark, .length = 1, .format = marked});
            const qint64 from = std::max<qint64>(selectionStart - lineStart - piece.first, 0);
            const qint64 to = std::min<qint64>(selectionEnd - lineStart - piece.first, shown);
            if (from < to)
                formats.append({.start = int(from), .length = int(to - from), .format = selected});
            piece.layout->draw(&painter, QPointF(left + piece.x, y), formats);
        }
        // A selection running over the line break shows a space's width past the line's end.
        if (selectionEnd > lineStart + length && selectionStart <= lineStart + length
            && line + 1 < lines)
            painter.fillRect(QRectF(left + width, y, breakWidth, m_lineHeight),
                             selected.background());
        if (drawCaret && caret.line == line)
            painter.fillRect(QRectF(left + qRound(columnX(line, caret.column)), y, 1, m_lineHeight),
                             palette().brush(QPalette::Text));
        if (width > m_widestSeen) {
            m_widestSeen = width;
            widened = true;
        }
        lineStart += length + LineStore::crLf;
    }
    // Tabs and wide characters make a line wider than its length says: let the bar know.
    if (widened && m_widestSeen > qreal(m_store.longestLine()) * m_advance)
        QMetaObject::invokeMethod(this, &LinePane::updateGeometryOfText, Qt::QueuedConnection);
}
