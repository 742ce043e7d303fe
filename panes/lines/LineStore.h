// The received pane's text: lines kept in chunks of about a million characters or 65,536 lines,
// one byte a character until a character above U+00FF arrives in the chunk. A position counts each
// line break as `breakWidth` characters: two (CR LF) for the pane's positions, one for a reader's.
#pragma once

#include <QByteArray>
#include <QLatin1StringView>
#include <QList>
#include <QString>
#include <QStringView>

#include <vector>

class LineStore
{
public:
    static constexpr int crLf = 2;

    explicit LineStore(qsizetype chunkCharacters = 1 << 20, qsizetype chunkLines = 1 << 16);

    qint64 size(int breakWidth = crLf) const { return m_characters + breakWidth * (m_lines - 1); }
    // Line breaks + 1, as a text document counts its blocks.
    qint64 lineCount() const { return m_lines; }
    bool isEmpty() const { return m_lines == 1 && m_characters == 0; }

    struct Place
    {
        qint64 line = 0;
        qsizetype column = 0;
    };
    // Where a position falls; inside a line break or past the end means the end of that line.
    Place place(qint64 position, int breakWidth = crLf) const;
    qint64 position(Place place, int breakWidth = crLf) const;
    qint64 normalized(qint64 position, int breakWidth = crLf) const
    {
        return this->position(place(position, breakWidth), breakWidth);
    }

    qsizetype lineLength(qint64 line) const;
    QString lineText(qint64 line, qsizetype from = 0, qsizetype length = -1) const;
    QString text(qint64 from, qint64 to, int breakWidth = crLf) const;
    QString text() const { return text(0, size()); }

    // Replaces the text between two positions; CR LF, CR and LF in the new text break lines, and
    // nothing else does. Only the chunks the range touches change; whole chunks inside it are
    // dropped.
    void replace(qint64 from, qint64 to, QStringView text);
    void append(QStringView text) { replace(size(), size(), text); }
    void clear();
    // The text followed by `times` more copies of it, a line break before each. The copies
    // share the characters they copy: a test holds billions of positions in a few megabytes.
    void repeat(qsizetype times);

    // From a position forward or back over characters that do not stop it: characters in the
    // set when stopInSet is false, outside it when true. A line break stands for CR and LF.
    // Returns where it stopped: before the stopping character, or at the line's or text's end.
    qint64 scan(qint64 from, QStringView set, bool forward, bool stopInSet) const;

    // A match of the text, as Qt::CaseInsensitive compares, within one line and never splitting
    // a surrogate pair, that starts in [from, to): the first going forward from `from`, the
    // last going back from `to` (LineStoreFind.cpp). Looks through about `budget` characters:
    // without a match, `at` is where it stopped, the range's other end once all is searched.
    struct Found
    {
        bool match = false;
        Place at;
    };
    Found find(QStringView text, Place from, Place to, bool forward, qint64 budget) const;

    qsizetype longestLine() const;
    qsizetype chunkCount() const { return qsizetype(m_chunks.size()); }

    // Calls line(view) for each line from first to last (a QLatin1StringView or a QStringView),
    // and lineBreak() between them.
    template<typename Line, typename Break>
    void forEachLine(qint64 first, qint64 last, Line &&line, Break &&lineBreak) const;

private:
    struct Chunk
    {
        QByteArray narrow; // while every character is at most U+00FF
        QString wide;
        QList<quint32> starts; // where each line begins in the chunk's text
        qint64 firstLine = 0;
        qint64 firstCharacter = 0; // characters before the chunk, line breaks not counted
        qsizetype longest = 0;
        bool isWide = false;
        bool holdsFF = false; // may hold U+00FF: lets a scan for it skip the chunk

        qsizetype length() const { return isWide ? wide.size() : narrow.size(); }
        qsizetype lines() const { return starts.size(); }
        qsizetype lineEnd(qsizetype i) const { return i + 1 < lines() ? starts[i + 1] : length(); }
        template<typename F> auto view(qsizetype from, qsizetype length, F &&f) const
        {
            return isWide ? f(QStringView(wide).sliced(from, length))
                          : f(QLatin1StringView(narrow.constData() + from, length));
        }
    };

    qsizetype chunkOfLine(qint64 line) const;
    qsizetype chunkOfPosition(qint64 position, int breakWidth) const;
    QString tail(qsizetype chunk, qsizetype line, qsizetype column) const;
    void truncate(qsizetype chunk, qsizetype line, qsizetype column);
    bool isFull(qsizetype characters, qsizetype lines) const
    {
        return characters >= m_chunkCharacters || lines >= m_chunkLines;
    }
    qsizetype appendText(qsizetype chunk, QStringView text);
    void appendToLastLine(Chunk &chunk, QStringView text);
    void widen(Chunk &chunk);
    void refresh(Chunk &chunk);
    void renumber(qsizetype from);
    void mergeSmall(qsizetype from, qsizetype to);
    qint64 scanForward(Place at, QStringView set, bool stopInSet, bool breakStops) const;
    qint64 scanBack(Place at, QStringView set, bool stopInSet, bool breakStops) const;

    std::vector<Chunk> m_chunks;
    qsizetype m_chunkCharacters;
    qsizetype m_chunkLines;
    qint64 m_characters = 0;
    qint64 m_lines = 1;
};

template<typename Line, typename Break>
void LineStore::forEachLine(qint64 first, qint64 last, Line &&line, Break &&lineBreak) const
{
    for (qsizetype k = chunkOfLine(first); first <= last; ++k) {
        const Chunk &chunk = m_chunks[size_t(k)];
        const qsizetype end
            = qsizetype(std::min<qint64>(last - chunk.firstLine, chunk.lines() - 1));
        for (qsizetype i = qsizetype(first - chunk.firstLine); i <= end; ++i, ++first) {
            chunk.view(chunk.starts[i], chunk.lineEnd(i) - chunk.starts[i], line);
            if (first < last)
                lineBreak();
        }
    }
}
