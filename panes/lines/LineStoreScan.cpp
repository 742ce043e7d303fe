// Scanning the received pane's line store for the characters of a set, forward or back, for
// Span and UpTo: only as far as the answer lies, a chunk that cannot hold the character skipped.
#include "panes/lines/LineStore.h"

#include <algorithm>
#include <cstring>

qint64 LineStore::scan(qint64 from, QStringView set, bool forward, bool stopInSet) const
{
    const auto stops = [&](char16_t c) { return set.contains(QChar(c)) == stopInSet; };
    const bool breakStops = stops(u'\r') || stops(u'\n');
    const Place at = place(from);
    return forward ? scanForward(at, set, stopInSet, breakStops)
                   : scanBack(at, set, stopInSet, breakStops);
}

qint64 LineStore::scanForward(Place at, QStringView set, bool stopInSet, bool breakStops) const
{
    // Looking for one character across lines, a chunk that cannot hold it is skipped and one
    // that can is searched as a whole.
    const bool single = stopInSet && set.size() == 1 && !breakStops;
    const char16_t wanted = single ? set.front().unicode() : 0;
    qsizetype k = chunkOfLine(at.line);
    qsizetype i = qsizetype(at.line - m_chunks[size_t(k)].firstLine);
    qsizetype column = at.column;
    for (;; ++k, i = 0, column = 0) {
        const Chunk &chunk = m_chunks[size_t(k)];
        if (single) {
            qsizetype found = -1;
            const qsizetype start = chunk.starts[i] + column;
            if (chunk.isWide) {
                found = QStringView(chunk.wide).indexOf(QChar(wanted), start);
            } else if (wanted < 0x100 && (wanted != 0xff || chunk.holdsFF)) {
                const void *hit = std::memchr(chunk.narrow.constData() + start, wanted,
                                              size_t(chunk.narrow.size() - start));
                found = hit ? static_cast<const char *>(hit) - chunk.narrow.constData() : -1;
            }
            if (found >= 0) {
                const auto line
                    = std::upper_bound(chunk.starts.begin(), chunk.starts.end(), quint32(found))
                    - chunk.starts.begin() - 1;
                return position(
                    {.line = chunk.firstLine + line, .column = found - chunk.starts[line]});
            }
            if (k + 1 == chunkCount())
                return size();
            continue;
        }
        for (; i < chunk.lines(); ++i, column = 0) {
            const qsizetype length = chunk.lineEnd(i) - chunk.starts[i];
            const qsizetype stop = chunk.view(chunk.starts[i], length, [&](auto view) {
                for (qsizetype c = column; c < view.size(); ++c) {
                    if (set.contains(QChar(view[c])) == stopInSet)
                        return c;
                }
                return qsizetype(-1);
            });
            if (stop >= 0)
                return position({.line = chunk.firstLine + i, .column = stop});
            if (breakStops || chunk.firstLine + i + 1 == m_lines)
                return position({.line = chunk.firstLine + i, .column = length});
        }
    }
}

qint64 LineStore::scanBack(Place at, QStringView set, bool stopInSet, bool breakStops) const
{
    qsizetype k = chunkOfLine(at.line);
    qsizetype i = qsizetype(at.line - m_chunks[size_t(k)].firstLine);
    qsizetype column = at.column;
    for (;;) {
        const Chunk &chunk = m_chunks[size_t(k)];
        const qsizetype stop = chunk.view(chunk.starts[i], column, [&](auto view) {
            for (qsizetype c = view.size() - 1; c >= 0; --c) {
                if (set.contains(QChar(view[c])) == stopInSet)
                    return c + 1;
            }
            return qsizetype(-1);
        });
        if (stop >= 0)
            return position({.line = chunk.firstLine + i, .column = stop});
        if (breakStops || chunk.firstLine + i == 0)
            return position({.line = chunk.firstLine + i, .column = 0});
        if (i == 0) {
            --k;
            i = m_chunks[size_t(k)].lines();
        }
        --i;
        const Chunk &previous = m_chunks[size_t(k)];
        column = previous.lineEnd(i) - previous.starts[i];
    }
}
