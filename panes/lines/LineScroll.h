// The received pane's vertical arithmetic, apart from the widget: lines and pixels counted in
// 64 bits, so a pane of hundreds of millions of lines still places and repaints them, and the
// scroll bar (an int) standing for the top line, scaled when it cannot count every line.
#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cmath>

struct LineScroll
{
    // The bar's largest value: well inside an int, so the bar's own sums cannot overflow.
    static constexpr int barLimit = 1 << 30;
    // Where lines far out of sight are placed: off the view, yet a rectangle there fits an int.
    static constexpr qint64 farAway = 1 << 24;

    qint64 lines = 1;
    int lineHeight = 1;
    int visible = 1; // whole lines in the view

    qint64 lastTop() const { return std::max<qint64>(0, lines - visible); }
    int barMaximum() const { return int(std::min<qint64>(lastTop(), barLimit)); }
    bool scaled() const { return lastTop() > barLimit; }

    int barValue(qint64 top) const
    {
        top = std::clamp<qint64>(top, 0, lastTop());
        if (!scaled())
            return int(top);
        return int(std::llround(double(top) / double(lastTop()) * barLimit));
    }
    qint64 topOf(int value) const
    {
        value = std::clamp(value, 0, barMaximum());
        if (!scaled())
            return value;
        return std::llround(double(value) / barLimit * double(lastTop()));
    }

    // The top of a line in the view, with the top line `margin` pixels down.
    qint64 y(qint64 line, qint64 top, int margin) const
    {
        return margin + (line - top) * lineHeight;
    }
    int clampedY(qint64 line, qint64 top, int margin) const
    {
        return int(std::clamp(y(line, top, margin), -farAway, farAway));
    }
};
