// What the received pane's line geometry needs to know of characters: where a line's layout
// may be cut, which characters are measured by their advances alone, and a line's direction.
#pragma once

#include "panes/lines/LineMarks.h"

#include <QChar>

#include <algorithm>
#include <utility>

namespace LineCharacters {

template<typename View> inline char16_t at(View text, qsizetype i)
{
    return QChar(text[i]).unicode();
}

inline bool isMark(char16_t c)
{
    const QChar::Category category = QChar::category(c);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining
        || category == QChar::Mark_Enclosing;
}

// Letters that combine with their neighbours though they are neither marks nor Arabic:
// conjoining jamo and Mongolian.
inline bool joins(char16_t c)
{
    return (c >= 0x1100 && c <= 0x11ff) || (c >= 0xa960 && c <= 0xa97f)
        || (c >= 0xd7b0 && c <= 0xd7ff) || (c >= 0x1800 && c <= 0x18af);
}

inline bool isExplicitDirection(char16_t c)
{
    return (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// A letter of the line's own direction, shaped on its own: it takes the line's bidi level, so
// a cut beside it leaves every run whole.
inline bool ofTheLine(char16_t c, bool rightToLeft, bool arabicToo)
{
    if (QChar::isSurrogate(c) || isMark(c) || joins(c))
        return false;
    const QChar::Direction direction = QChar::direction(c);
    return rightToLeft ? direction == QChar::DirR || (arabicToo && direction == QChar::DirAL)
                       : direction == QChar::DirL;
}

// Whether the whole line's layout may be cut before column p: a tab (at the line's level,
// and no shaping crosses it) before it, or a letter of the line's direction at it, after a
// space or, in a font that neither kerns nor joins, after any character it cannot join.
template<typename View> inline bool safeCut(View text, qsizetype p, bool rightToLeft, bool anywhere)
{
    const char16_t a = at(text, p - 1);
    const char16_t b = at(text, p);
    if (a == u'\t')
        return true;
    if ((!anywhere && a != u' ') || a == 0x200d || QChar::isHighSurrogate(a))
        return false;
    return ofTheLine(b, rightToLeft, a == u' ');
}

// Characters measured by their advances alone: no mark, no control, no joining, nothing of a
// right-to-left run and nothing shown as a mark.
inline bool isPlain(char16_t c)
{
    if (QChar::isSurrogate(c) || shownAs(c) != c || joins(c) || isMark(c))
        return false;
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return false;
    default:
        break;
    }
    switch (QChar::direction(c)) {
    case QChar::DirL:
    case QChar::DirEN:
    case QChar::DirES:
    case QChar::DirET:
    case QChar::DirCS:
    case QChar::DirON:
    case QChar::DirWS:
        return true;
    default:
        return false;
    }
}

// The line's direction as a layout finds it: its first strong character outside isolates.
template<typename View> inline std::pair<bool, qsizetype> directionOf(View text)
{
    int isolates = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = at(text, i);
        const bool pair = QChar::isHighSurrogate(c) && i + 1 < text.size()
            && QChar::isLowSurrogate(at(text, i + 1));
        if (pair)
            c = QChar::surrogateToUcs4(char16_t(c), at(text, i + 1));
        switch (QChar::direction(c)) {
        case QChar::DirRLI:
        case QChar::DirLRI:
        case QChar::DirFSI:
            ++isolates;
            break;
        case QChar::DirPDI:
            isolates = std::max(0, isolates - 1);
            break;
        case QChar::DirL:
            if (isolates == 0)
                return {false, i};
            break;
        case QChar::DirR:
        case QChar::DirAL:
            if (isolates == 0)
                return {true, i};
            break;
        default:
            break;
        }
        i += pair;
    }
    return {false, -1};
}

} // namespace LineCharacters
