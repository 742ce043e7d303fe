// The text find looks for as classes, one a character (characters Qt's case folding makes alike
// share a class), looked for in a run of units through a table giving each unit's class.
#pragma once

#include <QtGlobal>

#include <array>
#include <vector>

template<typename Unit, typename Class> class FoldedNeedle
{
public:
    FoldedNeedle(std::vector<Class> classes, const Class *table);

    qsizetype size() const { return qsizetype(m_classes.size()); }
    Class front() const { return m_classes.front(); }

    // The first start in [from, limit), or the last, of the classes inside text[0, length); -1
    // when there is none. Reads each unit of [from, limit + size()) a few times at most.
    qsizetype first(const Unit *text, qsizetype length, qsizetype from, qsizetype limit) const;
    qsizetype last(const Unit *text, qsizetype length, qsizetype from, qsizetype limit) const;

private:
    // One unit after another, with what the part matched so far says of where the next match
    // may start: for a text that keeps almost matching, where skipping ahead stops paying.
    qsizetype readOnward(const Unit *text, qsizetype from, qsizetype last) const;
    qsizetype readBack(const Unit *text, qsizetype from, qsizetype last) const;

    // Horspool's shifts going forward and back are keyed by a one-byte unit, or by the low byte
    // of a wider unit's class.
    static constexpr bool byUnit = sizeof(Unit) == 1;
    size_t key(Unit u) const
    {
        if constexpr (byUnit)
            return u;
        else
            return m_table[u] & 0xff;
    }

    std::vector<Class> m_classes;
    const Class *m_table;
    std::array<qsizetype, 256> m_forward {};
    std::array<qsizetype, 256> m_back {};
    // For each length matched, the longest end of it that is also a start: of the classes, and
    // of the classes read from their end.
    std::vector<qsizetype> m_border;
    std::vector<qsizetype> m_borderBack;
};

extern template class FoldedNeedle<uchar, uchar>;
extern template class FoldedNeedle<char16_t, char16_t>;
