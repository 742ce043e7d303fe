// What the received pane's line geometry needs to know of characters: where a line's layout
// may be cut, which characters are measured by their advances alone, and a line's direction.
#pragma once

#include "panes/lines/LineMarks.h"

#include <QChar>

#include <algorithm>
#include <utility>
#include <vector>

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

// A character of a script of its own: common ones (spaces, digits, punctuation) and inherited
// ones take the font of the script before them.
inline bool ofAScript(char16_t c)
{
    return QChar::isSurrogate(c) || QChar::script(c) > QChar::Script_Common;
}

// Whether the whole line's layout may be cut before column p: a tab before it (it keeps the
// line's level, and nothing is shaped or kerned across it), or, in a font that neither kerns
// nor joins, a letter of the line's direction at it after a character it cannot join. In a
// line with nothing right to left every character keeps the line's level.
template<typename View>
inline bool safeCut(View text, qsizetype p, bool rightToLeft, bool plainFont, bool oneWay)
{
    const char16_t a = at(text, p - 1);
    const char16_t b = at(text, p);
    if (a == u'\t')
        return true;
    // A virama joins the consonant after it; a halfwidth sound mark, the kana before it.
    if (!plainFont || a == 0x200d || QChar::isHighSurrogate(a) || QChar::combiningClass(a) == 9
        || b == 0xff9e || b == 0xff9f)
        return false;
    if (oneWay)
        return !QChar::isSurrogate(b) && !isMark(b) && !joins(b)
            && QChar::category(b) != QChar::Other_Format;
    // Arabic is cut only where it does not join: after a space, or after a letter that joins
    // nothing after it.
    const bool apart = a == u' '
        || (QChar::direction(a) == QChar::DirAL && !isMark(a)
            && (QChar::joiningType(a) == QChar::Joining_Right
                || QChar::joiningType(a) == QChar::Joining_None));
    return ofTheLine(b, rightToLeft, apart);
}

// Whether a character keeps a left-to-right line all left to right: nothing right to left, no
// control that may start a right-to-left run (left-to-right embeddings only raise the level by
// two, which reorders nothing).
inline bool oneWay(char32_t c)
{
    switch (QChar::direction(c)) {
    case QChar::DirR:
    case QChar::DirAL:
    case QChar::DirAN:
    case QChar::DirRLE:
    case QChar::DirRLO:
    case QChar::DirRLI:
    case QChar::DirFSI:
        return false;
    default:
        return true;
    }
}

template<typename View> inline bool oneWay(View text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = at(text, i);
        if (QChar::isHighSurrogate(c) && i + 1 < text.size()
            && QChar::isLowSurrogate(at(text, i + 1)))
            c = QChar::surrogateToUcs4(char16_t(c), at(text, ++i));
        if (!oneWay(c))
            return false;
    }
    return true;
}

// A bracket the bidi algorithm pairs with its mirror: the pair takes one direction from what
// it holds, so no cut may fall between the two.
inline bool isBracket(char16_t c)
{
    const QChar::Category category = QChar::category(c);
    return (category == QChar::Punctuation_Open || category == QChar::Punctuation_Close)
        && QChar::mirroredChar(c) != c;
}

template<typename View> inline bool holdsBracket(View text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (isBracket(at(text, i)))
            return true;
    }
    return false;
}

// The outermost stretches [open, close] between paired brackets, found as the bidi algorithm
// pairs them: a closing bracket closes the nearest open one it mirrors, and those inside it.
template<typename View> inline std::vector<std::pair<qsizetype, qsizetype>> bracketPairs(View text)
{
    std::vector<std::pair<qsizetype, qsizetype>> out;
    std::vector<qsizetype> open;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = at(text, i);
        if (!isBracket(c))
            continue;
        if (QChar::category(c) == QChar::Punctuation_Open) {
            if (open.size() < 63)
                open.push_back(i);
            continue;
        }
        for (auto o = open.rbegin(); o != open.rend(); ++o) {
            if (QChar::mirroredChar(at(text, *o)) != c)
                continue;
            const qsizetype from = *o;
            open.erase(std::next(o).base(), open.end());
            while (!out.empty() && out.back().first > from)
                out.pop_back();
            out.emplace_back(from, i);
            break;
        }
    }
    return out;
}

// Characters measured by their advances alone: no mark, no control, no joining, nothing of a
// right-to-left run and nothing shown as a mark.
inline bool isPlain(char16_t c)
{
    if (QChar::isSurrogate(c) || shownAs(c) != c || joins(c) || isMark(c) || c == 0xff9e
        || c == 0xff9f)
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
