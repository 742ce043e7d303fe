// What the received pane shows: every column where a whole-line layout puts it, separators as
// marks, the view following received lines, repainting only what changed, at any line count.
#include "panes/lines/LinePane.h"

#include <QApplication>
#include <QFontDatabase>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextLayout>

#include <functional>
#include <limits>

namespace {

// What the pane shows is what a whole repaint draws: nothing it changed was left unpainted.
bool shownAsWhole(LinePane &pane)
{
    QCoreApplication::processEvents();
    const QImage whole = pane.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage shown = pane.screen()->grabWindow(pane.winId()).toImage();
    return shown.convertToFormat(QImage::Format_RGB32).copy(whole.rect()) == whole;
}

// A steady caret while a test lives: a blink between two pictures would tell them apart.
auto steadyCaret()
{
    const int flashTime = QApplication::cursorFlashTime();
    QApplication::setCursorFlashTime(0);
    return qScopeGuard([flashTime] { QApplication::setCursorFlashTime(flashTime); });
}

} // namespace

class TestLinePaneView : public QObject
{
    Q_OBJECT

private slots:
    void longLinesMeasuredAsDrawn_data();
    void longLinesMeasuredAsDrawn();
    void separatorsShownInTheirLine();
    void receivedLinesLandAtTheEndAndTheViewFollows();
    void drawnInStepsAsDrawnWhole();
    void scrollArithmeticAtAnyLineCount_data();
    void scrollArithmeticAtAnyLineCount();
    void hugePaneScrollsAndRepaints_data();
    void hugePaneScrollsAndRepaints();
};

void TestLinePaneView::longLinesMeasuredAsDrawn_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("tabs throughout") << QStringLiteral("x\t12345\t").repeated(400);
    QTest::newRow("tabs at the start") << QStringLiteral("\t\t\t") + QString(3000, u'y');
    QTest::newRow("tabs at the end") << QString(3000, u'y') + QStringLiteral("\t\t\tz");
    QTest::newRow("no tabs") << QString(3000, u'z');
    QTest::newRow("short, tabbed") << QStringLiteral("a\tb").repeated(100);
    QTest::newRow("3,000 wide characters") << QString(3000, QChar(0x65e5));
    QTest::newRow("wide and narrow, tabbed")
        << QStringLiteral("\u65e5\u672c\u8a9e text\t\uff21\uff22 ").repeated(300);
    QTest::newRow("combining marks") << QStringLiteral("e\u0301a\u0308 ").repeated(700);
    QTest::newRow("pairs beyond U+FFFF") << QStringLiteral("\U0001F600x\U00020000 ").repeated(700);
    QTest::newRow("right to left")
        << QStringLiteral("\u05e9\u05dc\u05d5\u05dd \u05e2\u05d5\u05dc\u05dd ").repeated(300);
    QTest::newRow("right to left, joined")
        << QStringLiteral(
               "\u0645\u0631\u062d\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645 ")
               .repeated(250);
    QTest::newRow("right to left, tabbed, with numbers")
        << QStringLiteral("\u05e9\u05dc\u05d5\u05dd\t12.5 \u05e2\u05d5\u05dc\u05dd\t")
               .repeated(300);
    QTest::newRow("mixed, left to right")
        << QStringLiteral("abc \u05e9\u05dc\u05d5\u05dd 123 \u05e2\u05d5\u05dc\u05dd def ")
               .repeated(150);
    QTest::newRow("mixed, right to left")
        << QStringLiteral("\u05e9\u05dc\u05d5\u05dd abc def 4.5 ").repeated(200);
    // Cut where nothing on one side changes the other: common characters after a script the
    // font lacks take that script's font; a pair of brackets takes its direction from all it
    // holds; Arabic joins; a left-to-right embedding reorders nothing.
    QTest::newRow("common characters after another script")
        << QStringLiteral("abc \u0d33\u20a3 def ").repeated(231);
    QTest::newRow("brackets around a cut") << QStringLiteral("x \u05e9 (\u05e9 ")
            + QStringLiteral("abc \u05e9 ").repeated(500) + QStringLiteral(") \u05e9 end");
    QTest::newRow("right to left, joined without spaces")
        << QStringLiteral("\u0645\u0631\u062d\u0628\u0627\u0628\u0627\u0644").repeated(375);
    QTest::newRow("clusters across a cut")
        << QStringLiteral("\u0915\u094d\u0937\u0924\u094d\u0930 \uff8a\uff9f\uff76\uff9e ")
               .repeated(273);
    QTest::newRow("left-to-right embedding first")
        << QStringLiteral("\u202a") + QStringLiteral("abcdefg ").repeated(375);
}

void TestLinePaneView::longLinesMeasuredAsDrawn()
{
    // Where the line's columns are drawn when it is laid out whole: no wrapping, tab stops every
    // 80 pixels, trailing spaces counted.
    QFETCH(QString, line);
    LinePane pane;
    pane.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    pane.resize(400, 200);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    pane.setText(line + QStringLiteral("\r\nnext"));
    QTextLayout drawn(line, pane.font());
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabStopDistance(80);
    option.setFlags(QTextOption::IncludeTrailingSpaces);
    drawn.setTextOption(option);
    drawn.beginLayout();
    const QTextLine whole = drawn.createLine();
    drawn.endLayout();

    QScrollBar *bar = pane.horizontalScrollBar();
    pane.setSelStart(int(line.size()));
    QTRY_VERIFY_WITH_TIMEOUT(
        bar->maximum() + pane.viewport()->width() > whole.naturalTextWidth() + 2 * 4, 10000);
    for (int k = 0; k <= 20; ++k) {
        const int column = int(line.size()) * k / 20;
        pane.setSelStart(column);
        const QRect caret = pane.positionRect(column);
        QVERIFY2(pane.viewport()->rect().contains(caret.center()), qPrintable(QString::number(k)));
    }
    // Every column where the whole line puts it, and a click there where the whole line's.
    for (int column = 0; column <= line.size(); ++column) {
        if (line[std::min(column, int(line.size()) - 1)].isLowSurrogate())
            continue;
        const QRect caret = pane.positionRect(column);
        const int x = caret.left() + bar->value() - 4;
        QVERIFY2(qAbs(x - whole.cursorToX(column)) <= 1,
                 qPrintable(QStringLiteral("column %1 at %2, not %3")
                                .arg(column)
                                .arg(x)
                                .arg(whole.cursorToX(column))));
        QVERIFY2(pane.positionAt(caret.center()) == whole.xToCursor(x),
                 qPrintable(QStringLiteral("column %1: %2, not %3")
                                .arg(column)
                                .arg(pane.positionAt(caret.center()))
                                .arg(whole.xToCursor(x))));
    }
}

void TestLinePaneView::separatorsShownInTheirLine()
{
    // Received, they stay in the line, each drawn as a mark: every column a step further right.
    LinePane pane;
    pane.resize(400, 100);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    const QString line = QStringLiteral("a\u2028b\u2029c\u000cd\u0085e\u000bf\u001cg");
    pane.appendReceived(line + QStringLiteral("\r\n"));
    QCOMPARE(pane.lineCount(), 2);
    QCOMPARE(pane.Text(), line + QStringLiteral("\r\n"));
    for (int column = 1; column <= line.size(); ++column) {
        QCOMPARE(pane.positionRect(column).top(), pane.positionRect(0).top());
        QVERIFY2(pane.positionRect(column).left() > pane.positionRect(column - 1).left(),
                 qPrintable(QString::number(column)));
    }
    // Saved and opened again, the file's lines are the pane's.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("received.txt"));
    QVERIFY(pane.SaveFile(path));
    LinePane opened;
    QVERIFY(opened.LoadFile(path));
    QCOMPARE(opened.Text(), pane.Text());
}

void TestLinePaneView::receivedLinesLandAtTheEndAndTheViewFollows()
{
    // As the window appends a batch: caret to the very end, the batch there. The user's caret,
    // selection and scroll position give way, as they did in the former received pane.
    LinePane pane;
    pane.resize(300, 200);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    QString text;
    for (int i = 0; i < 1000; ++i)
        text += QStringLiteral("\u00ff%1\r\n").arg(i);
    pane.setText(text);
    pane.setSelStart(30);
    pane.setSelLength(40);
    pane.verticalScrollBar()->setValue(10);
    pane.setSelStart(std::numeric_limits<int>::max());
    pane.setSelText(QStringLiteral("new,1\r\n"));
    QCOMPARE(pane.Text(), text + QStringLiteral("new,1\r\n"));
    QCOMPARE(pane.SelStart(), pane.Text().size());
    QCOMPARE(pane.SelLength(), 0);
    QScrollBar *bar = pane.verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(bar->maximum() + bar->pageStep(), pane.lineCount());
}

void TestLinePaneView::drawnInStepsAsDrawnWhole()
{
    // The view repaints only what an edit, a selection or a scroll changed and moves the rest:
    // what it shows must be what a whole repaint draws, after every step.
    const auto caret = steadyCaret();
    LinePane pane;
    pane.resize(300, 200);
    pane.show();
    pane.setFocus();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    const auto append = [&pane](const QString &line) {
        pane.setSelStart(std::numeric_limits<int>::max());
        pane.setSelText(line + QStringLiteral("\r\n"));
    };
    for (int i = 1; i <= 30; ++i) {
        append(QStringLiteral("12.345,OK,%1").arg(i));
        QVERIFY2(shownAsWhole(pane), qPrintable(QStringLiteral("line %1").arg(i)));
    }
    const std::function<void()> steps[] = {
        [&] { pane.verticalScrollBar()->setValue(3); },
        [&] { pane.setSelStart(20); },
        [&] { pane.setSelLength(30); },
        [&] { pane.verticalScrollBar()->setValue(pane.verticalScrollBar()->value() + 2); },
        [&] { pane.setSelText(QStringLiteral("X")); },
        [&] { append(QStringLiteral("a line longer than the view is wide, to scroll sideways")); },
        [&] { pane.horizontalScrollBar()->setValue(40); },
        [&] { pane.verticalScrollBar()->setValue(1); },
        [&] { pane.setText(QString()); },
    };
    for (std::size_t k = 0; k < std::size(steps); ++k) {
        steps[k]();
        QVERIFY2(shownAsWhole(pane), qPrintable(QStringLiteral("step %1").arg(k)));
    }
}

void TestLinePaneView::scrollArithmeticAtAnyLineCount_data()
{
    QTest::addColumn<qint64>("lines");
    QTest::addColumn<qint64>("top");
    QTest::addColumn<qint64>("line");
    const qint64 m = 1000000;
    QTest::newRow("ten lines") << qint64(10) << qint64(0) << qint64(9);
    QTest::newRow("300 million: the last line seen from the top")
        << 300 * m << qint64(0) << 300 * m - 1;
    QTest::newRow("300 million: the first line seen from the end")
        << 300 * m << 300 * m - 40 << qint64(0);
    QTest::newRow("300 million: a line in sight") << 300 * m << 150 * m << 150 * m + 39;
    QTest::newRow("3 billion: more lines than the bar counts") << 3000 * m << 1500 * m << 2999 * m;
}

void TestLinePaneView::scrollArithmeticAtAnyLineCount()
{
    QFETCH(qint64, lines);
    QFETCH(qint64, top);
    QFETCH(qint64, line);

    const LineScroll scroll {.lines = lines, .lineHeight = 15, .visible = 40};
    const int margin = 4;
    QVERIFY(scroll.barMaximum() <= LineScroll::barLimit);
    QCOMPARE(scroll.barValue(0), 0);
    QCOMPARE(scroll.barValue(scroll.lastTop()), scroll.barMaximum());
    QCOMPARE(scroll.topOf(0), 0);
    QCOMPARE(scroll.topOf(scroll.barMaximum()), scroll.lastTop());
    // The bar finds back the top line, to within what one of its steps stands for.
    QVERIFY(std::abs(scroll.topOf(scroll.barValue(top)) - top)
            <= scroll.lastTop() / LineScroll::barLimit);
    QVERIFY(scroll.barValue(top) <= scroll.barValue(top + 1));

    const int y = scroll.clampedY(line, top, margin);
    if (line < top)
        QVERIFY(y + 15 <= margin);
    else if (line >= top + scroll.visible)
        QVERIFY(y >= margin + scroll.visible * 15);
    else
        QCOMPARE(y, margin + int(line - top) * 15);
}

void TestLinePaneView::hugePaneScrollsAndRepaints_data()
{
    // Copies of 65,536 empty lines sharing their storage: the pane at these sizes in a few MB.
    QTest::addColumn<int>("copies");
    QTest::newRow("301 million lines") << 4600;
    QTest::newRow("2.2 billion lines, more than an int counts") << 33600;
}

void TestLinePaneView::hugePaneScrollsAndRepaints()
{
    QFETCH(int, copies);

    const auto caret = steadyCaret();
    LinePane pane;
    pane.resize(300, 200);
    pane.show();
    pane.setFocus();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    pane.setText(QString(65535, u'\n'));
    pane.repeatForTesting(copies - 1);
    const qint64 lines = qint64(copies) * 65536;
    QCOMPARE(pane.lines().lineCount(), lines);
    QCOMPARE(pane.lineCount(), int(std::min<qint64>(lines, std::numeric_limits<int>::max())));
    const auto caretInSight
        = [&pane] { return pane.viewport()->rect().contains(pane.positionRect(pane.caret())); };
    QScrollBar *bar = pane.verticalScrollBar();
    const std::function<void()> steps[] = {
        [&] { QTest::keyClick(&pane, Qt::Key_X); },
        [&] { QTest::keyClick(&pane, Qt::Key_End, Qt::ControlModifier); },
        [&] { QTest::keyClick(&pane, Qt::Key_Y); },
        [&] { QTest::keyClick(&pane, Qt::Key_PageUp); },
        [&] { QTest::keyClick(&pane, Qt::Key_Home, Qt::ControlModifier); },
        [&] { QTest::keyClick(&pane, Qt::Key_Return); },
    };
    for (std::size_t k = 0; k < std::size(steps); ++k) {
        steps[k]();
        QVERIFY2(shownAsWhole(pane) && caretInSight(), qPrintable(QString::number(k)));
    }
    QCOMPARE(pane.lines().lineText(0), QString());
    QCOMPARE(pane.lines().lineText(1), QStringLiteral("x"));
    QCOMPARE(pane.lines().lineText(lines), QStringLiteral("y"));

    // The end shows at the bar's end, the middle in its middle.
    QTest::keyClick(&pane, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(bar->value(), bar->maximum());
    bar->setValue(bar->maximum() / 2);
    const qint64 shown = pane.lines().place(pane.positionAt(QPoint(0, 0))).line;
    QVERIFY2(std::abs(shown - lines / 2) < lines / 1000, qPrintable(QString::number(shown)));
    QVERIFY(shownAsWhole(pane));
}

QTEST_MAIN(TestLinePaneView)
#include "tst_linepaneview.moc"
