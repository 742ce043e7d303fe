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

} // namespace

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
            edit(m_caret, characterStep(m_caret, true), QString());
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
        m_unitStart = m_store.position({.line = line, .column = 0});
        m_unitEnd = line + 1 < m_store.lineCount()
            ? m_store.position({.line = line + 1, .column = 0})
            : m_store.size();
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
    const auto [start, end] = wordAt(place.line, place.column);
    m_unit = Unit::Word;
    m_unitStart = m_store.position({.line = place.line, .column = start});
    m_unitEnd = m_store.position({.line = place.line, .column = end});
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
    qint64 start = m_store.position({.line = place.line, .column = 0});
    qint64 end = place.line + 1 < m_store.lineCount()
        ? m_store.position({.line = place.line + 1, .column = 0})
        : m_store.size();
    if (m_unit == Unit::Word) {
        const auto [s, e] = wordAt(place.line, place.column);
        start = m_store.position({.line = place.line, .column = s});
        end = m_store.position({.line = place.line, .column = e});
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
