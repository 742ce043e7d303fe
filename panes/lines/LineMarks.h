// Characters a received line holds that a text layout would break the line at, take as the end
// of a paragraph, or draw as nothing: the received pane draws a visible mark in their place,
// one for one, so every column stays where it is. The text itself keeps the characters.
#pragma once

#include <QList>
#include <QString>

constexpr char16_t shownAs(char16_t c)
{
    switch (c) {
    case 0x000b: // line tabulation
    case 0x000c: // form feed
    case 0x001c: // the information separators
    case 0x001d:
    case 0x001e:
    case 0x001f:
        return char16_t(0x2400 + c); // their control pictures
    case 0x0085:
        return 0x2424; // next line: the symbol for newline
    case 0x2028:
        return 0x21b5; // line separator: a return arrow
    case 0x2029:
        return 0x00b6; // paragraph separator: a pilcrow
    default:
        return c;
    }
}

// Puts the marks in place in a line's text about to be laid out; returns where they stand.
inline QList<int> showMarks(QString &text)
{
    QList<int> marks;
    char16_t *data = nullptr;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const char16_t mark = shownAs(c);
        if (mark == c)
            continue;
        if (!data)
            data = reinterpret_cast<char16_t *>(text.data());
        data[i] = mark;
        marks.append(int(i));
    }
    return marks;
}
