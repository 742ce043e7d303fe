// What find does to the received pane: a match selected and brought into sight, and lines
// appended under a match without taking the selection or the view away from it.
#include "panes/lines/LinePane.h"

#include <QScrollBar>

void LinePane::showMatch(qint64 from, qint64 to)
{
    // Centred when it was out of sight, so the lines around it show too.
    const qint64 line = m_store.place(from).line;
    const bool inSight = line >= topLine() && line < topLine() + visibleLines();
    setSelection(m_store.normalized(from), m_store.normalized(to));
    if (!inSight)
        setTopLine(line - visibleLines() / 2);
    // Across: its start, then as much of it as fits up to the caret at its end.
    scrollToPosition(m_anchor);
    scrollToPosition(m_caret);
}

void LinePane::appendKeepingSelection(const QString &text)
{
    const qint64 anchor = m_anchor;
    const qint64 caret = m_caret;
    const qint64 top = topLine();
    const int x = horizontalScrollBar()->value();
    edit(m_store.size(), m_store.size(), text);
    setSelection(anchor, caret);
    setTopLine(top);
    horizontalScrollBar()->setValue(x);
}
