// Find's view of the two panes: the received pane's line store searched chunk by chunk, the
// send pane's document block by block; both searched in pieces a caller can spread out.
#include "panes/FindTarget.h"

#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"

#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>

namespace {

using Place = FindTarget::Place;

constexpr qint64 blockCost = 64;

bool before(Place a, Place b)
{
    return a.line < b.line || (a.line == b.line && a.column < b.column);
}

// A match inside a line of the send pane starting in [from, limit): the first, or the last.
qsizetype matchInLine(const QString &line, QStringView text, qsizetype from, qsizetype limit,
                      bool forward)
{
    const auto splitsPair = [&](qsizetype i) {
        return i > 0 && i < line.size() && line[i].isLowSurrogate()
            && line[i - 1].isHighSurrogate();
    };
    while (from < limit) {
        const qsizetype at = forward ? line.indexOf(text, from, Qt::CaseInsensitive)
                                     : line.lastIndexOf(text, limit - 1, Qt::CaseInsensitive);
        if (at < from || at >= limit)
            return -1;
        if (!splitsPair(at) && !splitsPair(at + text.size()))
            return at;
        if (forward)
            from = at + 1;
        else
            limit = at;
    }
    return -1;
}

class SendPaneTarget : public FindTarget
{
public:
    explicit SendPaneTarget(RichTextBox *pane) : m_pane(pane)
    {
        m_connection = QObject::connect(pane, &RichTextBox::Change, pane, [this] { changed(); });
    }
    ~SendPaneTarget() override { QObject::disconnect(m_connection); }

    QWidget *pane() const override { return m_pane; }
    bool locked() const override { return m_pane->Locked(); }
    Place selectionStart() const override { return placeOf(m_pane->textCursor().selectionStart()); }
    Place selectionEnd() const override { return placeOf(m_pane->textCursor().selectionEnd()); }
    Place end() const override { return placeOf(document()->characterCount() - 1); }
    qint64 lineCount() const override { return document()->blockCount(); }

    QString selectedLine(qsizetype most) const override
    {
        const QTextCursor cursor = m_pane->textCursor();
        if (!cursor.hasSelection() || cursor.selectionEnd() - cursor.selectionStart() > most
            || selectionStart().line != placeOf(cursor.selectionEnd()).line)
            return {};
        return cursor.selectedText();
    }

    LineStore::Found find(QStringView text, Place from, Place to, bool forward,
                          qint64 budget) const override
    {
        Place at = forward ? from : to;
        QTextBlock block = document()->findBlockByNumber(int(at.line));
        while (block.isValid() && (forward ? before(at, to) : before(from, at))) {
            if (budget <= 0)
                return {.match = false, .at = at};
            const QString line = block.text();
            const qint64 number = block.blockNumber();
            const qsizetype first = number == from.line ? std::min(from.column, line.size()) : 0;
            const qsizetype limit
                = number == to.line ? std::min(to.column, line.size()) : line.size();
            // A block's text is built afresh for each look: it costs as much as many characters.
            budget -= limit - first + blockCost;
            const qsizetype match = matchInLine(line, text, first, limit, forward);
            if (match >= 0)
                return {.match = true, .at = {.line = number, .column = match}};
            block = forward ? block.next() : block.previous();
            at = !block.isValid() || number == (forward ? to.line : from.line)
                ? forward ? to : from
                : Place {.line = block.blockNumber(), .column = forward ? 0 : block.length() - 1};
        }
        return {.match = false, .at = forward ? to : from};
    }

    void showMatch(Place from, Place to) override
    {
        QTextCursor cursor(document());
        cursor.setPosition(positionOf(from));
        cursor.setPosition(positionOf(to), QTextCursor::KeepAnchor);
        const QRect view = m_pane->viewport()->rect();
        const QRect rect = m_pane->cursorRect(cursor);
        const bool inSight = rect.top() >= view.top() && rect.bottom() <= view.bottom();
        m_pane->setTextCursor(cursor);
        if (!inSight)
            m_pane->centerCursor();
    }

    bool isSelected(Place from, Place to) const override
    {
        const QTextCursor cursor = m_pane->textCursor();
        return to.line < lineCount() && cursor.anchor() == positionOf(from)
            && cursor.position() == positionOf(to);
    }

    void reserveBottom(int pixels) override { m_pane->reserveBottom(pixels); }

private:
    QTextDocument *document() const { return m_pane->document(); }
    Place placeOf(int position) const
    {
        const QTextBlock block = document()->findBlock(position);
        return {.line = block.blockNumber(), .column = position - block.position()};
    }
    int positionOf(Place place) const
    {
        return document()->findBlockByNumber(int(place.line)).position() + int(place.column);
    }

    RichTextBox *m_pane;
    QMetaObject::Connection m_connection;
};

class ReceivedPaneTarget : public FindTarget
{
public:
    explicit ReceivedPaneTarget(LinePane *pane) : m_pane(pane)
    {
        m_connection = QObject::connect(pane, &LinePane::Change, pane, [this] { changed(); });
    }
    ~ReceivedPaneTarget() override { QObject::disconnect(m_connection); }

    QWidget *pane() const override { return m_pane; }
    bool locked() const override { return m_pane->Locked(); }
    Place selectionStart() const override
    {
        return store().place(std::min(m_pane->anchor(), m_pane->caret()));
    }
    Place selectionEnd() const override
    {
        return store().place(std::max(m_pane->anchor(), m_pane->caret()));
    }
    Place end() const override { return store().place(store().size()); }
    qint64 lineCount() const override { return store().lineCount(); }

    QString selectedLine(qsizetype most) const override
    {
        const Place start = selectionStart();
        const Place end = selectionEnd();
        if (start.line != end.line || start.column == end.column
            || end.column - start.column > most)
            return {};
        return store().lineText(start.line, start.column, end.column - start.column);
    }

    LineStore::Found find(QStringView text, Place from, Place to, bool forward,
                          qint64 budget) const override
    {
        return store().find(text, from, to, forward, budget);
    }

    void showMatch(Place from, Place to) override
    {
        m_pane->showMatch(store().position(from), store().position(to));
    }

    bool isSelected(Place from, Place to) const override
    {
        return to.line < lineCount() && m_pane->anchor() == store().position(from)
            && m_pane->caret() == store().position(to);
    }

    void reserveBottom(int pixels) override { m_pane->reserveBottom(pixels); }

private:
    const LineStore &store() const { return m_pane->lines(); }

    LinePane *m_pane;
    QMetaObject::Connection m_connection;
};

} // namespace

std::unique_ptr<FindTarget> findTarget(RichTextBox *pane)
{
    return std::make_unique<SendPaneTarget>(pane);
}

std::unique_ptr<FindTarget> findTarget(LinePane *pane)
{
    return std::make_unique<ReceivedPaneTarget>(pane);
}
