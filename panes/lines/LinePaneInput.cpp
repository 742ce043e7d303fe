// What the user does in the received pane: keys, mouse, clipboard, context menu, input method.
#include "panes/lines/LinePane.h"

#include "panes/PaneShared.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

namespace {

const QString plainText = QStringLiteral("text/plain");

// Copied text, built only when someone pastes it: select all and copy on millions of lines
// costs nothing until then. The copy of the store shares the chunks it was taken from.
class PaneText : public QMimeData
{
public:
    PaneText(const LineStore &store, qint64 from, qint64 to)
        : m_store(store), m_from(from), m_to(to)
    { }
    QStringList formats() const override { return {plainText}; }
    bool hasFormat(const QString &mimeType) const override { return mimeType == plainText; }

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType) const override
    {
        if (mimeType != plainText)
            return {};
        if (m_text.isNull()) {
            m_text = m_store.text(m_from, m_to);
            m_store.clear();
        }
        return m_text;
    }

private:
    mutable LineStore m_store;
    qint64 m_from;
    qint64 m_to;
    mutable QString m_text;
};

enum class Find { NextWord, PreviousWord, WordUnder, NextCharacter, PreviousCharacter };

// What the send pane's cursor finds in a text from a column: [start, end) of the word under it,
// or one boundary as both.
std::pair<qsizetype, qsizetype> findIn(const QString &text, qsizetype column, Find find)
{
    if (find == Find::WordUnder) {
        QTextDocument document;
        QTextCursor cursor(&document);
        cursor.insertText(text);
        cursor.setPosition(int(column));
        cursor.select(QTextCursor::WordUnderCursor);
        return {cursor.selectionStart(), cursor.selectionEnd()};
    }
    const QTextLayout layout(text);
    const auto mode = find == Find::NextWord || find == Find::PreviousWord
        ? QTextLayout::SkipWords
        : QTextLayout::SkipCharacters;
    const int at = find == Find::NextWord || find == Find::NextCharacter
        ? layout.nextCursorPosition(int(column), mode)
        : layout.previousCursorPosition(int(column), mode);
    return {at, at};
}

// Searches a stretch of the line around a column, widened until what is found lies clear of
// the stretch's cut ends, where a rule cannot see on: a word of any length is found whole, and
// no stretch ends between the halves of a surrogate pair.
std::pair<qsizetype, qsizetype> findInLine(const LineStore &store, qint64 line, qsizetype column,
                                           Find find)
{
    constexpr qsizetype clearance = 16;
    const qsizetype length = store.lineLength(line);
    for (qsizetype reach = 256;; reach *= 2) {
        qsizetype from = std::max<qsizetype>(0, column - reach);
        qsizetype to = std::min(length, column + reach);
        if (from > 0 && store.lineText(line, from, 1).front().isLowSurrogate())
            --from;
        if (to < length && store.lineText(line, to, 1).front().isLowSurrogate())
            ++to;
        const auto [start, end]
            = findIn(store.lineText(line, from, to - from), column - from, find);
        if ((from == 0 || start >= clearance) && (to == length || end <= to - from - clearance))
            return {from + start, from + end};
    }
}

} // namespace

std::optional<qint64> LinePane::acrossLineBreak(qint64 position, bool forward) const
{
    const LineStore::Place place = m_store.place(position);
    if (forward && place.column == m_store.lineLength(place.line))
        return place.line + 1 < m_store.lineCount() ? m_store.position({place.line + 1, 0})
                                                    : position;
    if (!forward && place.column == 0)
        return place.line > 0
            ? m_store.position({place.line - 1, m_store.lineLength(place.line - 1)})
            : position;
    return std::nullopt;
}

qint64 LinePane::wordBoundary(qint64 position, bool forward) const
{
    // As the send pane's word moves: forward past this word and the spaces after it, back to
    // the start of this or the previous word; a line's ends count as word starts.
    if (const std::optional<qint64> across = acrossLineBreak(position, forward))
        return *across;
    const LineStore::Place place = m_store.place(position);
    const Find find = forward ? Find::NextWord : Find::PreviousWord;
    return m_store.position(
        {place.line, findInLine(m_store, place.line, place.column, find).first});
}

qint64 LinePane::moved(QKeyEvent *event, bool *extend) const
{
    using Key = QKeySequence::StandardKey;
    const auto is = [event, extend](Key move, Key select) {
        *extend = event->matches(select);
        return *extend || event->matches(move);
    };
    const LineStore::Place place = m_store.place(m_caret);
    const auto step = [&](bool forward) {
        if (const std::optional<qint64> across = acrossLineBreak(m_caret, forward))
            return *across;
        const Find find = forward ? Find::NextCharacter : Find::PreviousCharacter;
        return m_store.position(
            {place.line, findInLine(m_store, place.line, place.column, find).first});
    };
    const auto toLine = [&](qint64 line) {
        if (line < 0)
            return qint64(0);
        if (line >= m_store.lineCount())
            return m_store.size();
        const qreal x = m_goalX >= 0 ? m_goalX : columnX(place.line, place.column);
        return m_store.position({line, columnAt(line, x)});
    };
    const qint64 page = visibleLines();
    if (is(Key::MoveToNextChar, Key::SelectNextChar))
        return step(true);
    if (is(Key::MoveToPreviousChar, Key::SelectPreviousChar))
        return step(false);
    if (is(Key::MoveToNextWord, Key::SelectNextWord))
        return wordBoundary(m_caret, true);
    if (is(Key::MoveToPreviousWord, Key::SelectPreviousWord))
        return wordBoundary(m_caret, false);
    if (is(Key::MoveToNextLine, Key::SelectNextLine))
        return toLine(place.line + 1);
    if (is(Key::MoveToPreviousLine, Key::SelectPreviousLine))
        return toLine(place.line - 1);
    if (is(Key::MoveToNextPage, Key::SelectNextPage))
        return toLine(std::min(place.line + page, m_store.lineCount() - 1));
    if (is(Key::MoveToPreviousPage, Key::SelectPreviousPage))
        return toLine(std::max<qint64>(place.line - page, 0));
    if (is(Key::MoveToStartOfLine, Key::SelectStartOfLine))
        return m_store.position({place.line, 0});
    if (is(Key::MoveToEndOfLine, Key::SelectEndOfLine))
        return m_store.position({place.line, m_store.lineLength(place.line)});
    if (is(Key::MoveToStartOfDocument, Key::SelectStartOfDocument))
        return 0;
    if (is(Key::MoveToEndOfDocument, Key::SelectEndOfDocument))
        return m_store.size();
    return -1;
}

void LinePane::keyPressEvent(QKeyEvent *event)
{
    // Locked, copying stays possible; nothing that moves the caret or the selection does.
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (m_locked)
        return;
    const bool selection = m_anchor != m_caret;
    bool extend = false;
    const qint64 target = moved(event, &extend);
    if (target >= 0) {
        const bool vertical = event->key() == Qt::Key_Up || event->key() == Qt::Key_Down
            || event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown;
        const qreal goal = vertical && m_goalX < 0
            ? columnX(m_store.place(m_caret).line, m_store.place(m_caret).column)
            : m_goalX;
        if (event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown) {
            const int page = visibleLines() * (event->key() == Qt::Key_PageUp ? -1 : 1);
            setTopLine(topLine() + page);
        }
        setSelection(extend ? m_anchor : target, target, extend);
        m_goalX = vertical ? goal : -1;
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::Cut)) {
        cut();
    } else if (event->matches(QKeySequence::Paste)) {
        paste();
    } else if (event->matches(QKeySequence::DeleteStartOfWord)) {
        edit(selection ? std::min(m_anchor, m_caret) : wordBoundary(m_caret, false),
             std::max(m_anchor, m_caret), QString());
    } else if (event->matches(QKeySequence::DeleteEndOfWord)) {
        edit(std::min(m_anchor, m_caret),
             selection ? std::max(m_anchor, m_caret) : wordBoundary(m_caret, true), QString());
    } else if (event->matches(QKeySequence::Delete) || event->key() == Qt::Key_Backspace) {
        if (selection) {
            replaceSelection(QString());
        } else if (event->key() == Qt::Key_Backspace && m_caret > 0) {
            // One character back, a surrogate pair whole, as the send pane deletes.
            const LineStore::Place place = m_store.place(m_caret);
            qint64 from = m_caret - (place.column == 0 ? LineStore::crLf : 1);
            if (place.column >= 2) {
                const QString two = m_store.lineText(place.line, place.column - 2, 2);
                from -= two[1].isLowSurrogate() && two[0].isHighSurrogate();
            }
            edit(from, m_caret, QString());
        } else if (event->key() != Qt::Key_Backspace) {
            bool unused = false;
            QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
            const qint64 to = moved(&right, &unused);
            edit(m_caret, to, QString());
        }
    } else if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        replaceSelection(QStringLiteral("\r\n"));
    } else if (isTypedText(event)) {
        replaceSelection(event->text());
    } else {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

bool LinePane::event(QEvent *event)
{
    // The pane's own keys go to the pane before any shortcut of the window.
    if (event->type() == QEvent::ShortcutOverride && !m_locked) {
        auto *key = static_cast<QKeyEvent *>(event);
        bool extend = false;
        if (isTypedText(key) || moved(key, &extend) >= 0 || key->matches(QKeySequence::Copy)
            || key->matches(QKeySequence::Cut) || key->matches(QKeySequence::Paste)
            || key->matches(QKeySequence::SelectAll) || key->matches(QKeySequence::Delete)
            || key->matches(QKeySequence::DeleteStartOfWord)
            || key->matches(QKeySequence::DeleteEndOfWord)) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

bool LinePane::viewportEvent(QEvent *event)
{
    if (m_locked && swallowMouseWhileLocked(this, event))
        return true;
    return QAbstractScrollArea::viewportEvent(event);
}

void LinePane::mousePressEvent(QMouseEvent *event)
{
    const QPoint point = event->position().toPoint();
    const qint64 at = positionAt(point);
    if (event->button() == Qt::MiddleButton) {
        QClipboard *clipboard = QGuiApplication::clipboard();
        if (clipboard->supportsSelection()) {
            setSelection(at, at);
            replaceSelection(clipboard->text(QClipboard::Selection));
        }
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    m_dragging = true;
    m_lastDragPoint = point;
    if (m_tripleClick.isActive()
        && (point - m_tripleClickPoint).manhattanLength() < QApplication::startDragDistance()) {
        m_tripleClick.stop();
        m_unit = Unit::Line;
        const qint64 line = m_store.place(at).line;
        m_unitStart = m_store.position({line, 0});
        m_unitEnd
            = line + 1 < m_store.lineCount() ? m_store.position({line + 1, 0}) : m_store.size();
        setSelection(m_unitStart, m_unitEnd, true);
        return;
    }
    m_unit = Unit::Character;
    setSelection(event->modifiers() & Qt::ShiftModifier ? m_anchor : at, at, true);
}

void LinePane::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint point = event->position().toPoint();
    const LineStore::Place place = m_store.place(positionAt(point));
    const auto [start, end] = findInLine(m_store, place.line, place.column, Find::WordUnder);
    m_unit = Unit::Word;
    m_unitStart = m_store.position({place.line, start});
    m_unitEnd = m_store.position({place.line, end});
    setSelection(m_unitStart, m_unitEnd, true);
    m_dragging = true;
    m_tripleClickPoint = point;
    m_tripleClick.start(QApplication::doubleClickInterval(), this);
}

void LinePane::dragTo(const QPoint &point)
{
    const qint64 at = positionAt(point);
    if (m_unit == Unit::Character) {
        setSelection(m_anchor, at, true);
        return;
    }
    // After a double or triple click the selection grows by whole words or lines.
    const LineStore::Place place = m_store.place(at);
    qint64 start = m_store.position({place.line, 0});
    qint64 end = place.line + 1 < m_store.lineCount() ? m_store.position({place.line + 1, 0})
                                                      : m_store.size();
    if (m_unit == Unit::Word) {
        const auto [s, e] = findInLine(m_store, place.line, place.column, Find::WordUnder);
        start = m_store.position({place.line, s});
        end = m_store.position({place.line, e});
    }
    if (at < m_unitStart)
        setSelection(m_unitEnd, start, true);
    else
        setSelection(m_unitStart, std::max(end, m_unitEnd), true);
}

void LinePane::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_dragging || !(event->buttons() & Qt::LeftButton))
        return;
    m_lastDragPoint = event->position().toPoint();
    dragTo(m_lastDragPoint);
    if (viewport()->rect().contains(m_lastDragPoint))
        m_autoScroll.stop();
    else if (!m_autoScroll.isActive())
        m_autoScroll.start(50, this);
}

void LinePane::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = false;
        m_autoScroll.stop();
    }
}

void LinePane::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_blink.timerId()) {
        m_caretShown = !m_caretShown;
        viewport()->update(positionRect(m_caret).adjusted(-1, 0, 1, 0));
    } else if (event->timerId() == m_autoScroll.timerId()) {
        // Dragging past an edge scrolls that way, a line or a few columns a tick.
        const QRect inside = viewport()->rect();
        QScrollBar *vertical = verticalScrollBar();
        QScrollBar *horizontal = horizontalScrollBar();
        if (m_lastDragPoint.y() < inside.top())
            vertical->triggerAction(QAbstractSlider::SliderSingleStepSub);
        else if (m_lastDragPoint.y() > inside.bottom())
            vertical->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        if (m_lastDragPoint.x() < inside.left())
            horizontal->triggerAction(QAbstractSlider::SliderSingleStepSub);
        else if (m_lastDragPoint.x() > inside.right())
            horizontal->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        dragTo(m_lastDragPoint);
    } else if (event->timerId() == m_tripleClick.timerId()) {
        m_tripleClick.stop();
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}

void LinePane::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    restartBlinking();
    viewport()->update();
}

void LinePane::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    restartBlinking();
    viewport()->update();
}

void LinePane::copy()
{
    if (m_anchor == m_caret)
        return;
    QGuiApplication::clipboard()->setMimeData(
        new PaneText(m_store, std::min(m_anchor, m_caret), std::max(m_anchor, m_caret)));
}

void LinePane::offerSelection()
{
    // The X11 primary selection: what the user selected, ready for a middle click elsewhere.
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (m_anchor != m_caret && clipboard->supportsSelection())
        clipboard->setMimeData(
            new PaneText(m_store, std::min(m_anchor, m_caret), std::max(m_anchor, m_caret)),
            QClipboard::Selection);
}

void LinePane::cut()
{
    if (m_locked || m_anchor == m_caret)
        return;
    copy();
    replaceSelection(QString());
}

void LinePane::paste()
{
    const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
    if (!m_locked && mime && mime->hasText())
        replaceSelection(mime->text());
}

void LinePane::selectAll()
{
    setSelection(0, m_store.size(), true);
}

void LinePane::contextMenuEvent(QContextMenuEvent *event)
{
    // Also reached from the keyboard, which the viewport never sees.
    event->accept();
    if (m_locked)
        return;
    const bool selection = m_anchor != m_caret;
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const auto add = [&](const QString &text, QKeySequence::StandardKey key, bool enabled,
                         void (LinePane::*action)()) {
        QAction *item = menu->addAction(text, this, action);
        item->setShortcut(key);
        item->setEnabled(enabled);
    };
    const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
    add(tr("Cu&t"), QKeySequence::Cut, selection, &LinePane::cut);
    add(tr("&Copy"), QKeySequence::Copy, selection, &LinePane::copy);
    add(tr("&Paste"), QKeySequence::Paste, mime && mime->hasText(), &LinePane::paste);
    QAction *erase = menu->addAction(tr("Delete"), this, [this] { replaceSelection(QString()); });
    erase->setEnabled(selection);
    menu->addSeparator();
    add(tr("Select All"), QKeySequence::SelectAll, !m_store.isEmpty(), &LinePane::selectAll);
    menu->popup(event->globalPos());
}

void LinePane::inputMethodEvent(QInputMethodEvent *event)
{
    // Text an input method commits is typed text.
    if (!m_locked && !event->commitString().isEmpty())
        replaceSelection(event->commitString());
    event->accept();
}

QVariant LinePane::inputMethodQuery(Qt::InputMethodQuery query) const
{
    const LineStore::Place place = m_store.place(m_caret);
    const qsizetype from = std::max<qsizetype>(0, place.column - 256);
    switch (query) {
    case Qt::ImEnabled:
        return !m_locked;
    case Qt::ImCursorRectangle:
        return positionRect(m_caret);
    case Qt::ImFont:
        return font();
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    case Qt::ImSurroundingText:
        return m_store.lineText(place.line, from, 512);
    case Qt::ImCursorPosition:
        return int(place.column - from);
    case Qt::ImAnchorPosition: {
        const LineStore::Place anchor = m_store.place(m_anchor);
        return int(std::clamp<qsizetype>(
            anchor.line == place.line ? anchor.column - from : place.column - from, 0, 512));
    }
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}
