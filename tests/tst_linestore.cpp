// The received pane's line store against a plain string joined by CR LF: random appends, edits,
// positions, ranges and scans must agree, whatever the chunk size, and the chunks stay few.
#include "panes/lines/LineStore.h"

#include <QRandomGenerator>
#include <QStringTokenizer>
#include <QTest>

namespace {

// The reference: the text as one string, every line break CR LF.
struct Reference
{
    QString text;

    qint64 normalized(qint64 p) const
    {
        p = std::clamp<qint64>(p, 0, text.size());
        return p > 0 && p < text.size() && text[p - 1] == u'\r' ? p - 1 : p;
    }
    void replace(qint64 from, qint64 to, QString with)
    {
        from = normalized(from);
        to = normalized(to);
        if (to < from)
            std::swap(from, to);
        // Only CR and LF break lines; the separators stay characters of their line.
        with.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
        with.replace(u'\n', QStringLiteral("\r\n"));
        text.replace(from, to - from, with);
    }
    qint64 scan(qint64 p, const QString &set, bool forward, bool stopInSet) const
    {
        const auto stops = [&](QChar c) { return set.contains(c) == stopInSet; };
        const bool breakStops = stops(u'\r') || stops(u'\n');
        for (p = normalized(p);;) {
            if (forward ? p == text.size() : p == 0)
                return p;
            const QChar c = forward ? text[p] : text[p - 1];
            if (c == u'\r' || c == u'\n') {
                if (breakStops)
                    return p;
                p += forward ? 2 : -2;
            } else if (stops(c)) {
                return p;
            } else {
                p += forward ? 1 : -1;
            }
        }
    }
};

// Lines of every kind: empty, long, Latin-1, wider, surrogate pairs, any line break.
QString randomText(QRandomGenerator &random, int chunk)
{
    static const QString pieces[] = {QStringLiteral("12.5,OK"),
                                     QStringLiteral("\u00ff"),
                                     QStringLiteral("Gr\u00fc\u00dfe"),
                                     QStringLiteral("\u65e5\u672c"),
                                     QStringLiteral("\U0001D11E"),
                                     QStringLiteral("\r\n"),
                                     QStringLiteral("\r"),
                                     QStringLiteral("\n"),
                                     QString(QChar::ParagraphSeparator),
                                     QStringLiteral("a\u2028b\u0085"),
                                     QStringLiteral(" "),
                                     QStringLiteral("\r\n\r\n")};
    QString text;
    for (int n = int(random.bounded(6)); n > 0; --n) {
        text += pieces[random.bounded(int(std::size(pieces)))];
        if (random.bounded(12) == 0)
            text += QString(chunk + int(random.bounded(chunk)), u'x'); // fills a chunk
    }
    return text;
}

// The chunks appending the text to an empty store makes: a chunk ends at the first line break
// after it holds `characters` characters or `lines` lines.
qsizetype fewestChunks(const QString &text, qsizetype characters, qsizetype lines)
{
    qsizetype chunks = 1;
    qsizetype held = 0;
    qsizetype heldLines = 0;
    for (const QStringView line : QStringTokenizer(text, u"\r\n")) {
        if (heldLines > 0 && (held >= characters || heldLines >= lines)) {
            ++chunks;
            held = heldLines = 0;
        }
        held += line.size();
        ++heldLines;
    }
    return chunks;
}

// No chunk holds more lines than its bound, and there are at most twice the fewest chunks.
QByteArray chunksWrong(const LineStore &store, const QString &text, qsizetype characters,
                       qsizetype lines)
{
    const qsizetype fewest = fewestChunks(text, characters, lines);
    if (store.lineCount() <= store.chunkCount() * lines && store.chunkCount() <= 2 * fewest)
        return {};
    return QByteArray::number(store.chunkCount()) + " chunks for " + QByteArray::number(fewest)
        + " at least, " + QByteArray::number(store.lineCount()) + " lines";
}

} // namespace

class TestLineStore : public QObject
{
    Q_OBJECT

private slots:
    void agreesWithThePlainText_data();
    void agreesWithThePlainText();
    void deletingTheHeadDropsWholeChunks();
    void chunksStayFewWhateverTheEdits_data();
    void chunksStayFewWhateverTheEdits();
};

void TestLineStore::agreesWithThePlainText_data()
{
    QTest::addColumn<int>("chunk");
    QTest::addColumn<int>("lines"); // lines a chunk holds at most
    QTest::addColumn<int>("sequence");
    QTest::addColumn<int>("appendsInTen"); // appends among every ten steps; edits the rest
    QTest::newRow("tiny chunks, mostly edits") << 8 << 1000 << 1 << 3;
    QTest::newRow("tiny chunks, mostly appends") << 8 << 1000 << 2 << 8;
    QTest::newRow("small chunks") << 64 << 1000 << 3 << 5;
    QTest::newRow("one chunk") << 1 << 1000 << 4 << 5; // every line starts a chunk of its own
    QTest::newRow("large chunks") << 4096 << 1000 << 5 << 6;
    QTest::newRow("chunks of three lines") << 4096 << 3 << 6 << 4;
    QTest::newRow("one line a chunk, mostly edits") << 4096 << 1 << 7 << 2;
}

void TestLineStore::agreesWithThePlainText()
{
    QFETCH(int, chunk);
    QFETCH(int, lines);
    QFETCH(int, sequence);
    QFETCH(int, appendsInTen);

    QRandomGenerator random {quint32(sequence)};
    LineStore store(chunk, lines);
    Reference reference;
    const QString sets[] = {QStringLiteral("\n"),  QStringLiteral("\u00ff"), QStringLiteral("\r"),
                            QStringLiteral("x.5"), QStringLiteral("\u65e5"), QString()};
    for (int step = 0; step < 800; ++step) {
        const auto anywhere
            = [&] { return qint64(random.bounded(int(reference.text.size()) + 3)) - 1; };
        const QString text = randomText(random, chunk);
        if (int(random.bounded(10)) < appendsInTen) {
            store.append(text);
            reference.replace(reference.text.size(), reference.text.size(), text);
        } else {
            const qint64 from = anywhere();
            const qint64 to = random.bounded(4) == 0 ? from : anywhere();
            store.replace(from, to, text);
            reference.replace(from, to, text);
        }
        const QByteArray where = QByteArray::number(step);
        const QString flat
            = QString(reference.text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QCOMPARE(store.text(), reference.text);
        QCOMPARE(store.size(), reference.text.size());
        QCOMPARE(store.lineCount(), reference.text.count(QStringLiteral("\r\n")) + 1);
        QCOMPARE(store.isEmpty(), reference.text.isEmpty());
        const QByteArray chunks = chunksWrong(store, reference.text, chunk, lines);
        QVERIFY2(chunks.isEmpty(), where + ": " + chunks);

        // Positions anywhere, on a CR, on an LF and at the end, and the ranges between them.
        for (int probe = 0; probe < 4; ++probe) {
            qint64 p = anywhere();
            const qint64 cr = reference.text.indexOf(u'\r', std::max<qint64>(0, p));
            if (probe == 1 && cr >= 0)
                p = cr + 1;
            if (probe == 2)
                p = reference.text.size();
            const qint64 q = anywhere();
            QCOMPARE(store.normalized(p), reference.normalized(p));
            const qint64 a = std::min(reference.normalized(p), reference.normalized(q));
            const qint64 b = std::max(reference.normalized(p), reference.normalized(q));
            QCOMPARE(store.text(p, q), p <= q ? reference.text.sliced(a, b - a) : QString());
            // A reader's offsets count a line break as one character.
            const LineStore::Place place = store.place(p);
            const qint64 offset = store.position(place, 1);
            QCOMPARE(store.place(offset, 1).line, place.line);
            QCOMPARE(store.text(offset, offset + 3, 1), flat.mid(offset, 3));
            QCOMPARE(store.lineText(place.line).size(), store.lineLength(place.line));
            const QString &set = sets[random.bounded(int(std::size(sets)))];
            const bool forward = random.bounded(2) == 0;
            const bool stopInSet = random.bounded(2) == 0;
            QVERIFY2(store.scan(p, set, forward, stopInSet)
                         == reference.scan(p, set, forward, stopInSet),
                     where + " scan " + set.toUtf8());
        }
    }
}

void TestLineStore::deletingTheHeadDropsWholeChunks()
{
    LineStore store(1024);
    const QString line = QStringLiteral("12.345,OK,14:03:07,123456\r\n");
    for (int i = 0; i < 20000; ++i)
        store.append(line);
    const qsizetype chunks = store.chunkCount();
    QVERIFY(chunks > 400);
    // The first 15,000 lines go, as when the pane is cleared of what it held when asked.
    store.replace(0, 15000 * line.size(), QString());
    QCOMPARE(store.lineCount(), 5001);
    QCOMPARE(store.lineText(0), line.chopped(2));
    QVERIFY(store.chunkCount() <= chunks / 4 + 2);
}

void TestLineStore::chunksStayFewWhateverTheEdits_data()
{
    // One edit repeated at the top, the middle or the end of a first text.
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("removed");
    QTest::addColumn<QString>("inserted");
    QTest::addColumn<int>("times");
    const QString empty(4000, u'\n');
    QString received;
    for (int i = 0; i < 2000; ++i)
        received += QStringLiteral("12.345,OK,%1\r\n").arg(i);
    QTest::newRow("Enter at the top of empty lines") << empty << "top" << 0 << "\n" << 300;
    QTest::newRow("pastes at the top") << received << "top" << 0 << "1.5,OK\r\n2.5,OK\r\n" << 300;
    QTest::newRow("pastes in the middle") << received << "middle" << 0 << "1.5,OK\r\n" << 300;
    QTest::newRow("lines joined at the top") << received << "top" << 14 << "" << 300;
    QTest::newRow("characters deleted at the top") << received << "top" << 1 << "" << 3000;
    QTest::newRow("empty lines deleted in the middle") << empty << "middle" << 2 << "" << 1500;
    QTest::newRow("lines replaced by empty ones") << received << "middle" << 30 << "\n\n" << 500;
    QTest::newRow("the end deleted") << received << "end" << 15 << "" << 1000;
}

void TestLineStore::chunksStayFewWhateverTheEdits()
{
    QFETCH(QString, first);
    QFETCH(QString, where);
    QFETCH(int, removed);
    QFETCH(QString, inserted);
    QFETCH(int, times);

    constexpr int characters = 256;
    constexpr int lines = 16;
    LineStore store(characters, lines);
    Reference reference;
    store.append(first);
    reference.replace(0, 0, first);
    for (int step = 0; step < times; ++step) {
        const qint64 size = reference.text.size();
        const qint64 at = where == u"top" ? 0 : where == u"middle" ? size / 2 : size - removed;
        store.replace(at, at + removed, inserted);
        reference.replace(at, at + removed, inserted);
        const QByteArray chunks = chunksWrong(store, reference.text, characters, lines);
        QVERIFY2(chunks.isEmpty(), QByteArray::number(step) + ": " + chunks);
    }
    QCOMPARE(store.text(), reference.text);
}

QTEST_MAIN(TestLineStore)
#include "tst_linestore.moc"
