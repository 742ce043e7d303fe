// Where the received pane draws a line's columns, against a whole-line QTextLayout of the same
// text: after every one of a run of random edits of long lines, each column's x, the column at
// an x, the line's width and the stretches drawn agree with the whole line's.
#include "panes/lines/LineGeometry.h"
#include "panes/lines/LineMarks.h"

#include <QFontDatabase>
#include <QRandomGenerator>
#include <QTest>

namespace {

// Pieces of every kind the cuts and the measures must get right; the second kind, lines cut
// often, with brackets, joined Arabic, embeddings and a script the font lacks.
QString randomPiece(QRandomGenerator &random, bool cutOften)
{
    static const QString often[] = {QStringLiteral("abc "),
                                    QStringLiteral("("),
                                    QStringLiteral(")"),
                                    QStringLiteral("\u05e9\u05dc "),
                                    QStringLiteral("\u0645\u0631\u062d\u0628\u0627\u0628"),
                                    QStringLiteral("\u0d33\u20a3 "),
                                    QStringLiteral("\u202a"),
                                    QStringLiteral("12 "),
                                    QString(300, u'y')};
    if (cutOften)
        return often[random.bounded(int(std::size(often)))];
    static const QString pieces[] = {QStringLiteral("abc "),
                                     QStringLiteral(" "),
                                     QStringLiteral("\t"),
                                     QStringLiteral("12.5,"),
                                     QStringLiteral("\u65e5\u672c\u8a9e"),
                                     QStringLiteral("\u05e9\u05dc\u05d5\u05dd "),
                                     QStringLiteral("\u0645\u0631\u062d\u0628\u0627 "),
                                     QStringLiteral("e\u0301"),
                                     QStringLiteral("\U0001F600"),
                                     QStringLiteral("AVAWTo"),
                                     QStringLiteral("\u2029\u000c"),
                                     QStringLiteral("\u202e"),
                                     QString(600, u'y')};
    return pieces[random.bounded(int(std::size(pieces)))];
}

// The line as one layout, with the pane's options: no wrapping, tab stops every 80 pixels,
// trailing spaces counted, the marks in place.
struct WholeLine
{
    QTextLayout layout;
    WholeLine(QString text, const QFont &font)
    {
        showMarks(text);
        layout.setText(text);
        layout.setFont(font);
        QTextOption option;
        option.setWrapMode(QTextOption::NoWrap);
        option.setTabStopDistance(LineGeometry::tabStop);
        option.setFlags(QTextOption::IncludeTrailingSpaces);
        layout.setTextOption(option);
        layout.beginLayout();
        layout.createLine().setLineWidth(1e7);
        layout.endLayout();
    }
    QTextLine line() const { return layout.lineAt(0); }
};

} // namespace

class TestLineGeometry : public QObject
{
    Q_OBJECT

private slots:
    void agreesWithTheWholeLine_data();
    void agreesWithTheWholeLine();
};

void TestLineGeometry::agreesWithTheWholeLine_data()
{
    QTest::addColumn<QFont>("font");
    QTest::addColumn<quint32>("draw");
    QTest::addColumn<bool>("cutOften");
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QFont courier(QStringLiteral("Courier New"), 12);
    const QFont proportional(QStringLiteral("DejaVu Sans"), 11);
    for (quint32 draw = 1; draw <= 4; ++draw) {
        const bool often = draw > 3;
        const char *kind = often ? ", cut often" : "";
        QTest::addRow("system fixed font, %u%s", draw, kind) << fixed << draw << often;
        QTest::addRow("Courier New, %u%s", draw, kind) << courier << draw << often;
        QTest::addRow("a font that kerns, %u%s", draw, kind) << proportional << draw << often;
    }
}

void TestLineGeometry::agreesWithTheWholeLine()
{
    QFETCH(QFont, font);
    QFETCH(quint32, draw);
    QFETCH(bool, cutOften);
    QRandomGenerator random(draw);
    LineStore store;
    QString first;
    while (first.size() < 4000)
        first += randomPiece(random, cutOften);
    store.append(first + QStringLiteral("\r\nshort\r\n") + first);
    LineGeometry geometry;
    geometry.setFont(font);

    for (int step = 0; step < 30; ++step) {
        // An edit inside a line, now and then one that breaks a line in two.
        const qint64 line = random.bounded(int(store.lineCount()));
        const qsizetype length = store.lineLength(line);
        qsizetype column = random.bounded(int(length + 1));
        if (column > 0 && column < length && store.lineText(line, column, 1)[0].isLowSurrogate())
            --column;
        qsizetype removed = std::min<qsizetype>(random.bounded(4), length - column);
        if (removed > 0 && store.lineText(line, column + removed - 1, 1)[0].isHighSurrogate())
            ++removed;
        removed = std::min(removed, length - column);
        const qint64 from = store.position({.line = line, .column = column});
        if (random.bounded(10) == 0) {
            const qint64 lines = store.lineCount();
            store.replace(from, from + removed, QStringLiteral("\r\n"));
            geometry.editedLines(line, line, store.lineCount() - lines);
        } else {
            const QString added = randomPiece(random, cutOften);
            const QString gone = store.lineText(line, column, removed);
            store.replace(from, from + removed, added);
            geometry.editedInLine(line, column, gone, added);
        }

        for (qint64 l = 0; l < store.lineCount(); ++l) {
            const QString text = store.lineText(l);
            const WholeLine whole(text, font);
            const QString where = QStringLiteral("step %1, line %2").arg(step).arg(l);
            QVERIFY2(qAbs(geometry.width(store, l) - whole.line().horizontalAdvance()) <= 1,
                     qPrintable(where));
            for (int k = 0; k <= 24; ++k) {
                const int c = k == 24 ? int(text.size()) : random.bounded(int(text.size() + 1));
                if (c < text.size() && text[c].isLowSurrogate())
                    continue;
                const qreal x = whole.line().cursorToX(c);
                QVERIFY2(qAbs(geometry.x(store, l, c) - x) <= 1,
                         qPrintable(QStringLiteral("%1, column %2 at %3, not %4")
                                        .arg(where)
                                        .arg(c)
                                        .arg(geometry.x(store, l, c))
                                        .arg(x)));
                const int at = qRound(x) + int(random.bounded(3)) - 1;
                QVERIFY2(geometry.column(store, l, at) == whole.line().xToCursor(at),
                         qPrintable(QStringLiteral("%1, x %2: column %3, not %4")
                                        .arg(where)
                                        .arg(at)
                                        .arg(geometry.column(store, l, at))
                                        .arg(whole.line().xToCursor(at))));
            }
            // What is drawn of a stretch in sight stands where the whole line has it.
            const qreal fromX = random.bounded(int(whole.line().horizontalAdvance()) + 1);
            qreal width = 0;
            for (const LineGeometry::Piece &piece :
                 geometry.pieces(store, l, fromX, fromX + 400, &width)) {
                const QTextLine drawn = piece.layout->lineAt(0);
                for (int i = 1; i < piece.layout->text().size(); i += 37) {
                    if (!piece.layout->text()[i].isLowSurrogate())
                        QVERIFY2(qAbs(piece.x + drawn.cursorToX(i)
                                      - whole.line().cursorToX(int(piece.first) + i))
                                     <= 1,
                                 qPrintable(QStringLiteral("%1, drawn column %2")
                                                .arg(where)
                                                .arg(piece.first + i)));
                }
            }
        }
    }
    QVERIFY(geometry.cachedLines() > 0);
}

QTEST_MAIN(TestLineGeometry)
#include "tst_linegeometry.moc"
