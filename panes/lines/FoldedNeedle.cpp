// Horspool's skipping search over classes of characters, and a reading of every unit once (Knuth,
// Morris and Pratt's) that takes over where the skips keep stopping on near matches: a search
// text of thousands of zeros and then "10" over lines of zeros costs the length of the lines,
// not that times the length of the text.
#include "panes/lines/FoldedNeedle.h"

#include <algorithm>
#include <utility>

namespace {

// border[k]: the length of the longest proper start of the first k + 1 classes that also ends them.
template<typename At> std::vector<qsizetype> borders(qsizetype m, At at)
{
    std::vector<qsizetype> border(size_t(m), 0);
    for (qsizetype k = 1, j = 0; k < m; ++k) {
        while (j > 0 && at(k) != at(j))
            j = border[size_t(j - 1)];
        if (at(k) == at(j))
            ++j;
        border[size_t(k)] = j;
    }
    return border;
}

} // namespace

template<typename Unit, typename Class>
FoldedNeedle<Unit, Class>::FoldedNeedle(std::vector<Class> classes, const Class *table)
    : m_classes(std::move(classes)), m_table(table)
{
    const qsizetype m = size();
    m_forward.fill(m);
    m_back.fill(m);
    for (qsizetype k = 0; k < m; ++k) {
        const size_t slot = m_classes[size_t(k)] & 0xff;
        if (k + 1 < m)
            m_forward[slot] = m - 1 - k;
        if (k > 0 && m_back[slot] == m)
            m_back[slot] = k;
    }
    if constexpr (byUnit) {
        // Keyed by the unit itself, a skip need not wait for its class.
        const auto forward = m_forward;
        const auto back = m_back;
        for (size_t b = 0; b < 256; ++b) {
            m_forward[b] = forward[m_table[b]];
            m_back[b] = back[m_table[b]];
        }
    }
    m_border = borders(m, [this](qsizetype k) { return m_classes[size_t(k)]; });
    m_borderBack = borders(m, [this, m](qsizetype k) { return m_classes[size_t(m - 1 - k)]; });
}

template<typename Unit, typename Class>
qsizetype FoldedNeedle<Unit, Class>::first(const Unit *text, qsizetype length, qsizetype from,
                                           qsizetype limit) const
{
    const qsizetype m = size();
    const qsizetype last = std::min(limit - 1, length - m);
    const Class end = m_classes.back();
    qint64 compared = 0;
    for (qsizetype s = from; s <= last;) {
        const Unit u = text[s + m - 1];
        if (m_table[u] == end) {
            qsizetype k = 0;
            while (k + 1 < m && m_table[text[s + k]] == m_classes[size_t(k)])
                ++k;
            if (k + 1 == m)
                return s;
            // Comparing more than skipping: the text keeps almost matching.
            compared += k + 1;
            if (compared > s - from + m)
                return readOnward(text, s, last);
        }
        s += m_forward[key(u)];
    }
    return -1;
}

template<typename Unit, typename Class>
qsizetype FoldedNeedle<Unit, Class>::last(const Unit *text, qsizetype length, qsizetype from,
                                          qsizetype limit) const
{
    const qsizetype m = size();
    const qsizetype start = std::min(limit - 1, length - m);
    const Class front = m_classes.front();
    qint64 compared = 0;
    for (qsizetype s = start; s >= from;) {
        const Unit u = text[s];
        if (m_table[u] == front) {
            qsizetype k = 1;
            while (k < m && m_table[text[s + k]] == m_classes[size_t(k)])
                ++k;
            if (k == m)
                return s;
            compared += k;
            if (compared > start - s + m)
                return readBack(text, from, s);
        }
        s -= m_back[key(u)];
    }
    return -1;
}

// The first start in [from, last].
template<typename Unit, typename Class>
qsizetype FoldedNeedle<Unit, Class>::readOnward(const Unit *text, qsizetype from,
                                                qsizetype last) const
{
    const qsizetype m = size();
    qsizetype j = 0; // classes matched so far
    for (qsizetype i = from; i < last + m; ++i) {
        const Class c = m_table[text[i]];
        while (j > 0 && m_classes[size_t(j)] != c)
            j = m_border[size_t(j - 1)];
        if (m_classes[size_t(j)] == c && ++j == m)
            return i + 1 - m;
    }
    return -1;
}

// The last start in [from, last].
template<typename Unit, typename Class>
qsizetype FoldedNeedle<Unit, Class>::readBack(const Unit *text, qsizetype from,
                                              qsizetype last) const
{
    const qsizetype m = size();
    qsizetype j = 0; // classes matched so far, from the end
    for (qsizetype i = last + m - 1; i >= from; --i) {
        const Class c = m_table[text[i]];
        while (j > 0 && m_classes[size_t(m - 1 - j)] != c)
            j = m_borderBack[size_t(j - 1)];
        if (m_classes[size_t(m - 1 - j)] == c && ++j == m)
            return i;
    }
    return -1;
}

template class FoldedNeedle<uchar, uchar>;
template class FoldedNeedle<char16_t, char16_t>;
