// The received pane for screen readers. Offsets count a line break as one character ("\n");
// every piece of text asked for is built from the store alone, never the whole text.
#include "panes/lines/LinePaneAccessible.h"

#include "panes/lines/LinePane.h"

#include <QAccessible>
#include <QTextBoundaryFinder>

#include <limits>

namespace {

// Larger texts are not handed to a reader in one piece: it reads them by lines and words.
constexpr qint64 wholeTextLimit = 1 << 20;

bool listening()
{
    return QAccessible::isActive();
}

int offsetOf(const LinePane *pane, qint64 position)
{
    const LineStore &store = pane->lines();
    return int(std::min<qint64>(store.position(store.place(position), 1),
                                std::numeric_limits<int>::max()));
}

QAccessibleInterface *createFor(const QString &className, QObject *object)
{
    if (className == QLatin1String("LinePane") && object && object->isWidgetType())
        return new LinePaneAccessible(static_cast<LinePane *>(object));
    return nullptr;
}

} // namespace

LinePaneAccessible::LinePaneAccessible(LinePane *pane)
    : QAccessibleWidget(pane, QAccessible::EditableText)
{ }

void LinePaneAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(createFor);
        return true;
    }();
    Q_UNUSED(installed);
}

namespace {

// A removal or an insertion with the text it concerns, for a range no larger than a reader
// would be handed whole.
template<typename TextEvent> void sendTextEvent(LinePane *pane, qint64 from, qint64 to)
{
    if (from == to || to - from > wholeTextLimit || !listening())
        return;
    const int start = offsetOf(pane, from);
    TextEvent event(pane, start, pane->lines().text(start, offsetOf(pane, to), 1));
    QAccessible::updateAccessibility(&event);
}

} // namespace

void LinePaneAccessible::aboutToRemove(LinePane *pane, qint64 from, qint64 to)
{
    sendTextEvent<QAccessibleTextRemoveEvent>(pane, from, to);
}

void LinePaneAccessible::inserted(LinePane *pane, qint64 from, qint64 to)
{
    sendTextEvent<QAccessibleTextInsertEvent>(pane, from, to);
}

void LinePaneAccessible::selectionChanged(LinePane *pane)
{
    if (!listening())
        return;
    const int caret = offsetOf(pane, pane->caret());
    if (pane->caret() == pane->anchor()) {
        QAccessibleTextCursorEvent event(pane, caret);
        QAccessible::updateAccessibility(&event);
        return;
    }
    QAccessibleTextSelectionEvent event(pane,
                                        offsetOf(pane, std::min(pane->caret(), pane->anchor())),
                                        offsetOf(pane, std::max(pane->caret(), pane->anchor())));
    event.setCursorPosition(caret);
    QAccessible::updateAccessibility(&event);
}

void LinePaneAccessible::stateChanged(LinePane *pane)
{
    if (!listening())
        return;
    QAccessible::State changed;
    changed.readOnly = true;
    changed.editable = true;
    QAccessibleStateChangeEvent event(pane, changed);
    QAccessible::updateAccessibility(&event);
}

LinePane *LinePaneAccessible::pane() const
{
    return static_cast<LinePane *>(widget());
}

qint64 LinePaneAccessible::toPosition(int offset) const
{
    const LineStore &store = pane()->lines();
    return store.position(store.place(offset, 1));
}

int LinePaneAccessible::toOffset(qint64 position) const
{
    return offsetOf(pane(), position);
}

void *LinePaneAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    if (type == QAccessible::EditableTextInterface)
        return static_cast<QAccessibleEditableTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State LinePaneAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.editable = !pane()->Locked();
    state.readOnly = pane()->Locked();
    state.multiLine = true;
    state.selectableText = true;
    return state;
}

QString LinePaneAccessible::text(QAccessible::Text type) const
{
    if (type != QAccessible::Value)
        return QAccessibleWidget::text(type);
    return characterCount() <= wholeTextLimit ? text(0, characterCount()) : QString();
}

void LinePaneAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    if (selectionIndex == 0 && pane()->anchor() != pane()->caret()) {
        *startOffset = toOffset(std::min(pane()->anchor(), pane()->caret()));
        *endOffset = toOffset(std::max(pane()->anchor(), pane()->caret()));
    }
}

int LinePaneAccessible::selectionCount() const
{
    return pane()->anchor() != pane()->caret() ? 1 : 0;
}

void LinePaneAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void LinePaneAccessible::removeSelection(int)
{
    pane()->select(pane()->caret(), pane()->caret());
}

void LinePaneAccessible::setSelection(int, int startOffset, int endOffset)
{
    pane()->select(toPosition(startOffset), toPosition(endOffset));
}

int LinePaneAccessible::cursorPosition() const
{
    return toOffset(pane()->caret());
}

void LinePaneAccessible::setCursorPosition(int position)
{
    pane()->select(toPosition(position), toPosition(position));
}

QString LinePaneAccessible::text(int startOffset, int endOffset) const
{
    return pane()->lines().text(startOffset, endOffset, 1);
}

int LinePaneAccessible::characterCount() const
{
    return int(std::min<qint64>(pane()->lines().size(1), std::numeric_limits<int>::max()));
}

std::pair<int, int> LinePaneAccessible::unitAt(int offset, QAccessible::TextBoundaryType type) const
{
    const LineStore &store = pane()->lines();
    const int count = characterCount();
    offset = std::clamp(offset, 0, count);
    const LineStore::Place place = store.place(offset, 1);
    const int lineStart = int(offset - place.column);
    switch (type) {
    case QAccessible::CharBoundary: {
        if (offset == count)
            return {count, count};
        const QString two = text(offset, offset + 2);
        return {offset, offset + (two.size() == 2 && two[0].isHighSurrogate() ? 2 : 1)};
    }
    case QAccessible::WordBoundary: {
        const qsizetype from = std::max<qsizetype>(0, place.column - 256);
        QTextBoundaryFinder words(QTextBoundaryFinder::Word, store.lineText(place.line, from, 512));
        words.setPosition(place.column - from);
        const qsizetype start
            = words.isAtBoundary() ? words.position() : words.toPreviousBoundary();
        qsizetype end = words.toNextBoundary();
        if (end < 0) // at the line's end: the line break itself
            return {offset, std::min(offset + 1, count)};
        return {int(lineStart + from + std::max<qsizetype>(start, 0)), int(lineStart + from + end)};
    }
    case QAccessible::NoBoundary:
        return {0, count};
    default: // sentences, paragraphs and lines are the pane's lines
        return {lineStart, lineStart + int(store.lineLength(place.line))};
    }
}

QString LinePaneAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                         int *startOffset, int *endOffset) const
{
    std::tie(*startOffset, *endOffset) = unitAt(offset, boundaryType);
    return text(*startOffset, *endOffset);
}

QString LinePaneAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                             int *startOffset, int *endOffset) const
{
    const int start = unitAt(offset, boundaryType).first;
    if (start == 0 || boundaryType == QAccessible::NoBoundary) {
        *startOffset = *endOffset = 0;
        return {};
    }
    return textAtOffset(start - 1, boundaryType, startOffset, endOffset);
}

QString LinePaneAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                            int *startOffset, int *endOffset) const
{
    const bool lines
        = boundaryType != QAccessible::CharBoundary && boundaryType != QAccessible::WordBoundary;
    const int next = unitAt(offset, boundaryType).second + (lines ? 1 : 0);
    if (next > characterCount() || boundaryType == QAccessible::NoBoundary
        || (!lines && next == characterCount())) {
        *startOffset = *endOffset = characterCount();
        return {};
    }
    return textAtOffset(next, boundaryType, startOffset, endOffset);
}

QRect LinePaneAccessible::characterRect(int offset) const
{
    const qint64 position = toPosition(offset);
    const QRect at = pane()->positionRect(position);
    const QRect next = pane()->positionRect(toPosition(offset + 1));
    const int width = next.top() == at.top() ? std::max(1, next.left() - at.left()) : 1;
    return QRect(pane()->viewport()->mapToGlobal(at.topLeft()), QSize(width, at.height()));
}

int LinePaneAccessible::offsetAtPoint(const QPoint &point) const
{
    const QPoint local = pane()->viewport()->mapFromGlobal(point);
    if (!pane()->viewport()->rect().contains(local))
        return -1;
    return toOffset(pane()->positionAt(local));
}

void LinePaneAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    pane()->scrollToPosition(toPosition(endIndex));
    pane()->scrollToPosition(toPosition(startIndex));
}

QString LinePaneAccessible::attributes(int, int *startOffset, int *endOffset) const
{
    *startOffset = 0;
    *endOffset = characterCount();
    const QFont font = pane()->font();
    return QStringLiteral("font-family:\"%1\";font-size:%2pt;")
        .arg(font.family())
        .arg(font.pointSizeF());
}

void LinePaneAccessible::deleteText(int startOffset, int endOffset)
{
    replaceText(startOffset, endOffset, QString());
}

void LinePaneAccessible::insertText(int offset, const QString &text)
{
    replaceText(offset, offset, text);
}

void LinePaneAccessible::replaceText(int startOffset, int endOffset, const QString &text)
{
    if (pane()->Locked())
        return;
    pane()->select(toPosition(startOffset), toPosition(endOffset));
    pane()->replaceSelection(text);
}
