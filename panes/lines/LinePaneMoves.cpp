// Where the keys move the caret in the received pane: by characters and words as the send
// pane's cursor moves, over lines and pages.
#include "panes/lines/LinePane.h"

#include <QKeyEvent>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

namespace {

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

// Where the caret lands on a step within its line, or across the line break it stands beside.
qint64 stepped(const LineStore &store, std::optional<qint64> across, qint64 position, Find find)
{
    if (across)
        return *across;
    const LineStore::Place place = store.place(position);
    return store.position({place.line, findInLine(store, place.line, place.column, find).first});
}

} // namespace

std::optional<qint64> LinePane::acrossLineBreak(qint64 position, bool forward) const
{
    const LineStore::Place place = m_store.place(position);
    if (forward && place.column == m_store.lineLength(place.line))
        return place.line + 1 < m_store.lineCount()
            ? m_store.position({.line = place.line + 1, .column = 0})
            : position;
    if (!forward && place.column == 0)
        return place.line > 0 ? m_store.position(
                   {.line = place.line - 1, .column = m_store.lineLength(place.line - 1)})
                              : position;
    return std::nullopt;
}

qint64 LinePane::wordBoundary(qint64 position, bool forward) const
{
    // As the send pane's word moves: forward past this word and the spaces after it, back to
    // the start of this or the previous word; a line's ends count as word starts.
    return stepped(m_store, acrossLineBreak(position, forward), position,
                   forward ? Find::NextWord : Find::PreviousWord);
}

qint64 LinePane::characterStep(qint64 position, bool forward) const
{
    return stepped(m_store, acrossLineBreak(position, forward), position,
                   forward ? Find::NextCharacter : Find::PreviousCharacter);
}

bool LinePane::rightToLeft(qint64 line) const
{
    // As the send pane's document finds a paragraph's direction: by its first character of a
    // strong direction, character by character (a pair of units beyond U+FFFF is one); left to
    // right without one.
    if (m_direction.line == line && m_direction.edits == m_edits)
        return m_direction.rightToLeft;
    bool found = false;
    m_store.forEachLine(
        line, line,
        [&](auto text) {
            for (qsizetype i = 0; i < text.size(); ++i) {
                char32_t c = QChar(text[i]).unicode();
                if (QChar::isHighSurrogate(c) && i + 1 < text.size()
                    && QChar(text[i + 1]).isLowSurrogate())
                    c = QChar::surrogateToUcs4(char16_t(c), QChar(text[++i]).unicode());
                const QChar::Direction direction = QChar::direction(c);
                if (direction == QChar::DirL)
                    return;
                if (direction == QChar::DirR || direction == QChar::DirAL) {
                    found = true;
                    return;
                }
            }
        },
        [] {});
    m_direction = {.line = line, .edits = m_edits, .rightToLeft = found};
    return found;
}

qint64 LinePane::moved(QKeyEvent *event, bool *extend) const
{
    using Key = QKeySequence::StandardKey;
    const auto is = [event, extend](Key move, Key select) {
        *extend = event->matches(select);
        return *extend || event->matches(move);
    };
    const LineStore::Place place = m_store.place(m_caret);
    // In a right-to-left line the arrows, and Ctrl with them, go the other way through the
    // text, as the send pane's cursor goes.
    const auto forward = [&](bool right) { return right != rightToLeft(place.line); };
    const auto toLine = [&](qint64 line) {
        if (line < 0)
            return qint64(0);
        if (line >= m_store.lineCount())
            return m_store.size();
        const qreal x = m_goalX >= 0 ? m_goalX : columnX(place.line, place.column);
        return m_store.position({.line = line, .column = columnAt(line, x)});
    };
    const qint64 page = visibleLines();
    if (is(Key::MoveToNextChar, Key::SelectNextChar))
        return characterStep(m_caret, forward(true));
    if (is(Key::MoveToPreviousChar, Key::SelectPreviousChar))
        return characterStep(m_caret, forward(false));
    if (is(Key::MoveToNextWord, Key::SelectNextWord))
        return wordBoundary(m_caret, forward(true));
    if (is(Key::MoveToPreviousWord, Key::SelectPreviousWord))
        return wordBoundary(m_caret, forward(false));
    if (is(Key::MoveToNextLine, Key::SelectNextLine))
        return toLine(place.line + 1);
    if (is(Key::MoveToPreviousLine, Key::SelectPreviousLine))
        return toLine(place.line - 1);
    if (is(Key::MoveToNextPage, Key::SelectNextPage))
        return toLine(std::min(place.line + page, m_store.lineCount() - 1));
    if (is(Key::MoveToPreviousPage, Key::SelectPreviousPage))
        return toLine(std::max<qint64>(place.line - page, 0));
    if (is(Key::MoveToStartOfLine, Key::SelectStartOfLine))
        return m_store.position({.line = place.line, .column = 0});
    if (is(Key::MoveToEndOfLine, Key::SelectEndOfLine))
        return m_store.position({.line = place.line, .column = m_store.lineLength(place.line)});
    if (is(Key::MoveToStartOfDocument, Key::SelectStartOfDocument))
        return 0;
    if (is(Key::MoveToEndOfDocument, Key::SelectEndOfDocument))
        return m_store.size();
    return -1;
}

std::pair<qsizetype, qsizetype> LinePane::wordAt(qint64 line, qsizetype column) const
{
    return findInLine(m_store, line, column, Find::WordUnder);
}
