// The received pane's line store: appending is a copy at the end of the last chunk; an edit
// rewrites only the chunks it touches; positions are found by binary searches over the chunks'
// first lines and characters and then over one chunk's line starts.
#include "panes/lines/LineStore.h"

#include <algorithm>
#include <cstring>

namespace {

// Only CR and LF end a line: a paragraph or line separator a device sends stays in its line.
bool isBreak(char16_t c)
{
    return c == u'\r' || c == u'\n';
}

// Where the next line break begins in the text, and how many characters it takes.
qsizetype nextBreak(QStringView text, qsizetype from, qsizetype *breakLength = nullptr)
{
    const char16_t *data = text.utf16();
    for (qsizetype i = from; i < text.size(); ++i) {
        if (isBreak(data[i])) {
            if (breakLength)
                *breakLength
                    = data[i] == u'\r' && i + 1 < text.size() && data[i + 1] == u'\n' ? 2 : 1;
            return i;
        }
    }
    return -1;
}

} // namespace

LineStore::LineStore(qsizetype chunkCharacters, qsizetype chunkLines)
    : m_chunkCharacters(std::max<qsizetype>(1, chunkCharacters)),
      m_chunkLines(std::max<qsizetype>(1, chunkLines))
{
    clear();
}

void LineStore::clear()
{
    m_chunks.assign(1, Chunk());
    m_chunks.front().starts.append(0);
    m_characters = 0;
    m_lines = 1;
}

void LineStore::repeat(qsizetype times)
{
    // A chunk always ends a line, so a copy of every chunk is the text after a line break.
    const std::vector<Chunk> copy = m_chunks;
    m_chunks.reserve(m_chunks.size() * size_t(times + 1));
    for (qsizetype i = 0; i < times; ++i)
        m_chunks.insert(m_chunks.end(), copy.begin(), copy.end());
    renumber(0);
}

qsizetype LineStore::chunkOfLine(qint64 line) const
{
    const auto after = std::upper_bound(m_chunks.begin(), m_chunks.end(), line,
                                        [](qint64 l, const Chunk &c) { return l < c.firstLine; });
    return qsizetype(after - m_chunks.begin()) - 1;
}

qsizetype LineStore::chunkOfPosition(qint64 position, int breakWidth) const
{
    const auto after = std::upper_bound(m_chunks.begin(), m_chunks.end(), position,
                                        [breakWidth](qint64 p, const Chunk &c) {
                                            return p < c.firstCharacter + breakWidth * c.firstLine;
                                        });
    return qsizetype(after - m_chunks.begin()) - 1;
}

LineStore::Place LineStore::place(qint64 position, int breakWidth) const
{
    if (position <= 0)
        return {};
    if (position >= size(breakWidth))
        return {.line = m_lines - 1, .column = lineLength(m_lines - 1)};
    const Chunk &chunk = m_chunks[size_t(chunkOfPosition(position, breakWidth))];
    const qint64 offset = position - chunk.firstCharacter - breakWidth * chunk.firstLine;
    // The last line whose start, counted with the breaks before it, is not past the offset.
    qsizetype low = 0;
    qsizetype high = chunk.lines() - 1;
    while (low < high) {
        const qsizetype mid = low + (high - low + 1) / 2;
        if (chunk.starts[mid] + qint64(breakWidth) * mid <= offset)
            low = mid;
        else
            high = mid - 1;
    }
    const qint64 column = offset - chunk.starts[low] - qint64(breakWidth) * low;
    return {.line = chunk.firstLine + low,
            .column = qsizetype(std::min<qint64>(column, chunk.lineEnd(low) - chunk.starts[low]))};
}

qint64 LineStore::position(Place place, int breakWidth) const
{
    const Chunk &chunk = m_chunks[size_t(chunkOfLine(place.line))];
    const qsizetype i = qsizetype(place.line - chunk.firstLine);
    return chunk.firstCharacter + chunk.starts[i] + breakWidth * place.line + place.column;
}

qsizetype LineStore::lineLength(qint64 line) const
{
    const Chunk &chunk = m_chunks[size_t(chunkOfLine(line))];
    const qsizetype i = qsizetype(line - chunk.firstLine);
    return chunk.lineEnd(i) - chunk.starts[i];
}

QString LineStore::lineText(qint64 line, qsizetype from, qsizetype length) const
{
    const Chunk &chunk = m_chunks[size_t(chunkOfLine(line))];
    const qsizetype i = qsizetype(line - chunk.firstLine);
    const qsizetype lineLength = chunk.lineEnd(i) - chunk.starts[i];
    from = std::clamp<qsizetype>(from, 0, lineLength);
    length = length < 0 ? lineLength - from : std::min(length, lineLength - from);
    return chunk.view(chunk.starts[i] + from, length, [](auto view) { return view.toString(); });
}

QString LineStore::text(qint64 from, qint64 to, int breakWidth) const
{
    Place a = place(from, breakWidth);
    Place b = place(to, breakWidth);
    if (b.line < a.line || (b.line == a.line && b.column <= a.column))
        return {};
    const QStringView lineBreak = breakWidth == crLf ? u"\r\n" : u"\n";
    QString out;
    out.reserve(qsizetype(position(b, breakWidth) - position(a, breakWidth)));
    qint64 line = a.line;
    forEachLine(
        a.line, b.line,
        [&](auto view) {
            const qsizetype first = line == a.line ? a.column : 0;
            const qsizetype end = line == b.line ? b.column : view.size();
            out.append(view.sliced(first, end - first));
            ++line;
        },
        [&] { out.append(lineBreak); });
    return out;
}

qsizetype LineStore::longestLine() const
{
    qsizetype longest = 0;
    for (const Chunk &chunk : m_chunks)
        longest = std::max(longest, chunk.longest);
    return longest;
}

QString LineStore::tail(qsizetype k, qsizetype line, qsizetype column) const
{
    const Chunk &chunk = m_chunks[size_t(k)];
    QString out;
    out.reserve(chunk.length() - chunk.starts[line] - column + chunk.lines() - line);
    for (qsizetype i = line; i < chunk.lines(); ++i) {
        const qsizetype first = chunk.starts[i] + (i == line ? column : 0);
        chunk.view(first, chunk.lineEnd(i) - first, [&](auto view) { out.append(view); });
        if (i + 1 < chunk.lines())
            out.append(u'\n');
    }
    return out;
}

void LineStore::truncate(qsizetype k, qsizetype line, qsizetype column)
{
    Chunk &chunk = m_chunks[size_t(k)];
    const qsizetype end = chunk.starts[line] + column;
    if (chunk.isWide)
        chunk.wide.truncate(end);
    else
        chunk.narrow.truncate(end);
    chunk.starts.resize(line + 1);
    refresh(chunk);
}

void LineStore::refresh(Chunk &chunk)
{
    chunk.longest = 0;
    for (qsizetype i = 0; i < chunk.lines(); ++i)
        chunk.longest = std::max(chunk.longest, chunk.lineEnd(i) - chunk.starts[i]);
    chunk.holdsFF = chunk.isWide
        ? chunk.wide.contains(QChar(0xff))
        : std::memchr(chunk.narrow.constData(), 0xff, size_t(chunk.narrow.size())) != nullptr;
}

void LineStore::widen(Chunk &chunk)
{
    chunk.wide = QString::fromLatin1(chunk.narrow);
    chunk.narrow = QByteArray();
    chunk.isWide = true;
}

void LineStore::appendToLastLine(Chunk &chunk, QStringView text)
{
    if (text.isEmpty())
        return;
    if (!chunk.isWide && !QtPrivate::isLatin1(text))
        widen(chunk);
    if (chunk.isWide) {
        chunk.wide.append(text);
        chunk.holdsFF = chunk.holdsFF || text.contains(QChar(0xff));
    } else {
        const qsizetype at = chunk.narrow.size();
        chunk.narrow.resize(at + text.size());
        char *out = chunk.narrow.data() + at;
        const char16_t *in = text.utf16();
        bool ff = false;
        for (qsizetype i = 0; i < text.size(); ++i) {
            out[i] = char(in[i]);
            ff |= in[i] == 0xff;
        }
        chunk.holdsFF = chunk.holdsFF || ff;
    }
    chunk.longest = std::max(chunk.longest, chunk.length() - chunk.starts.back());
}

qsizetype LineStore::appendText(qsizetype k, QStringView text)
{
    qsizetype from = 0;
    for (;;) {
        qsizetype breakLength = 0;
        const qsizetype at = nextBreak(text, from, &breakLength);
        appendToLastLine(m_chunks[size_t(k)],
                         text.sliced(from, (at < 0 ? text.size() : at) - from));
        if (at < 0)
            return k;
        from = at + breakLength;
        Chunk &chunk = m_chunks[size_t(k)];
        if (!isFull(chunk.length(), chunk.lines())) {
            chunk.starts.append(quint32(chunk.length()));
            continue;
        }
        // A full chunk: the new line starts the next one, so lines never straddle chunks.
        chunk.narrow.squeeze();
        chunk.wide.squeeze();
        chunk.starts.squeeze();
        Chunk next;
        next.starts.append(0);
        m_chunks.insert(m_chunks.begin() + k + 1, std::move(next));
        ++k;
    }
}

void LineStore::renumber(qsizetype from)
{
    qint64 line = 0;
    qint64 character = 0;
    if (from > 0) {
        const Chunk &before = m_chunks[size_t(from - 1)];
        line = before.firstLine + before.lines();
        character = before.firstCharacter + before.length();
    }
    for (auto it = m_chunks.begin() + from; it != m_chunks.end(); ++it) {
        it->firstLine = line;
        it->firstCharacter = character;
        line += it->lines();
        character += it->length();
    }
    m_lines = line;
    m_characters = character;
}

void LineStore::mergeSmall(qsizetype from, qsizetype to)
{
    // Neighbours from `from` to `to` that would not fill one chunk together become one. With
    // every two neighbours filling a chunk, there are at most twice as many chunks as
    // appending the text to an empty store makes, whatever edits came before.
    from = std::max<qsizetype>(0, from);
    bool merged = false;
    for (qsizetype k = from; k < to && k + 1 < chunkCount();) {
        const Chunk &chunk = m_chunks[size_t(k)];
        const Chunk &next = m_chunks[size_t(k + 1)];
        if (isFull(chunk.length() + next.length(), chunk.lines() + next.lines())) {
            ++k;
            continue;
        }
        const QString moved = QStringLiteral("\n") + tail(k + 1, 0, 0);
        m_chunks.erase(m_chunks.begin() + k + 1);
        appendText(k, moved);
        --to;
        merged = true;
    }
    if (merged)
        renumber(from);
}

void LineStore::replace(qint64 from, qint64 to, QStringView text)
{
    const qint64 end = size();
    if (from >= end && to >= end) {
        // At the end: a copy behind the last line, nothing before it looked at again.
        const qsizetype last = chunkCount() - 1;
        appendText(last, text);
        renumber(last);
        return;
    }
    Place a = place(from);
    Place b = place(to);
    if (b.line < a.line || (b.line == a.line && b.column < a.column))
        std::swap(a, b);
    const qsizetype ka = chunkOfLine(a.line);
    const qsizetype kb = chunkOfLine(b.line);
    const qsizetype la = qsizetype(a.line - m_chunks[size_t(ka)].firstLine);
    const qsizetype lb = qsizetype(b.line - m_chunks[size_t(kb)].firstLine);

    // Within one line and without a break: in place, the later line starts shifted.
    Chunk &chunk = m_chunks[size_t(ka)];
    if (a.line == b.line && nextBreak(text, 0) < 0 && (chunk.isWide || QtPrivate::isLatin1(text))) {
        const qsizetype at = chunk.starts[la] + a.column;
        const qsizetype removed = b.column - a.column;
        if (chunk.isWide) {
            chunk.wide.replace(at, removed, text.constData(), text.size());
        } else {
            const QByteArray latin1 = text.toLatin1();
            chunk.narrow.replace(at, removed, latin1);
        }
        const qsizetype delta = text.size() - removed;
        for (qsizetype i = la + 1; i < chunk.lines(); ++i)
            chunk.starts[i] = quint32(chunk.starts[i] + delta);
        refresh(chunk);
        renumber(ka);
        mergeSmall(ka - 1, ka + 1);
        return;
    }

    // Otherwise what follows the range in its last chunk moves behind the new text.
    const QString rest = tail(kb, lb, b.column);
    truncate(ka, la, a.column);
    m_chunks.erase(m_chunks.begin() + ka + 1, m_chunks.begin() + kb + 1);
    const qsizetype last = appendText(appendText(ka, text), rest);
    renumber(ka);
    mergeSmall(ka - 1, last + 1);
}
