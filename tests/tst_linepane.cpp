// The received pane: the same operations as the send pane's widget with the same results, and
// what a user and a reader do with it.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/WindowOnPty.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFontDatabase>
#include <QInputMethodEvent>
#include <QPrinter>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextLayout>

#include <cerrno>
#include <functional>
#include <limits>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

QString randomText(QRandomGenerator &random)
{
    static const QString pieces[]
        = {QStringLiteral("AB"),       QStringLiteral(" x "),    QStringLiteral("\r\n"),
           QStringLiteral("\r"),       QStringLiteral("\n"),     QString(QChar::ParagraphSeparator),
           QStringLiteral("\u00ff"),   QStringLiteral("\u65e5"), QStringLiteral("\U0001D11E"),
           QStringLiteral("a\u2028b"), QString(QChar(0xfdd0)),   QStringLiteral("\r\n\r\n")};
    QString text;
    for (int n = int(random.bounded(5)); n > 0; --n)
        text += pieces[random.bounded(int(std::size(pieces)))];
    return text;
}

// What the window and the tools see of a pane, through the properties both panes carry.
QString state(const QWidget &pane)
{
    return QStringLiteral("Text=[%1] SelStart=%2 SelLength=%3 SelText=[%4] lineCount=%5")
        .arg(pane.property("Text").toString())
        .arg(pane.property("SelStart").toInt())
        .arg(pane.property("SelLength").toInt())
        .arg(pane.property("SelText").toString())
        .arg(pane.property("lineCount").toInt());
}

QPoint pointOf(const LinePane &pane, qint64 position)
{
    return pane.positionRect(position).center();
}

// Where a double click lands on the character at a position, scrolled into sight.
QPoint onCharacter(RichTextBox &pane, int position)
{
    pane.setSelStart(position);
    pane.ensureCursorVisible();
    return pane.cursorRect().center();
}

QPoint onCharacter(LinePane &pane, int position)
{
    pane.setSelStart(position);
    return pointOf(pane, position);
}

// The pages a pane prints the text on, at a printer's resolution, read back from the PDF.
template<typename Pane>
int printedPages(Pane &pane, const QString &text, QPrinter::PrinterMode mode)
{
    QTemporaryDir dir;
    QPrinter printer(mode);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(dir.filePath(QStringLiteral("printout.pdf")));
    pane.setText(text);
    const bool printed = pane.SelPrint(&printer);
    QProcess info;
    info.start(QStringLiteral("pdfinfo"), {printer.outputFileName()});
    if (!printed || !info.waitForFinished(30000))
        return -1;
    const QString pages = QString::fromUtf8(info.readAllStandardOutput())
                              .section(QStringLiteral("Pages:"), 1)
                              .section(u'\n', 0, 0);
    return pages.trimmed().toInt();
}

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

class TestLinePane : public QObject
{
    Q_OBJECT

private slots:
    void sameResultsAsTheSendPane_data();
    void sameResultsAsTheSendPane();
    void selectingAcrossALineBreak_data();
    void selectingAcrossALineBreak();
    void keysAsTheSendPane_data();
    void keysAsTheSendPane();
    void typedAsTheSendPane_data();
    void typedAsTheSendPane();
    void printsOnTheSendPanesPages_data();
    void printsOnTheSendPanesPages();
    void longLinesMeasuredAsDrawn_data();
    void longLinesMeasuredAsDrawn();
    void separatorsShownInTheirLine();
    void selectAllAndCopyIsTheText();
    void typingAndPasteLandAtTheCaret();
    void receivedLinesLandAtTheEndAndTheViewFollows();
    void drawnInStepsAsDrawnWhole();
    void scrollArithmeticAtAnyLineCount_data();
    void scrollArithmeticAtAnyLineCount();
    void hugePaneScrollsAndRepaints_data();
    void hugePaneScrollsAndRepaints();
    void saveWhileLinesArriveLosesNone();
    void readerSeesTheText();
};

void TestLinePane::sameResultsAsTheSendPane_data()
{
    QTest::addColumn<quint32>("sequence");
    for (quint32 sequence = 1; sequence <= 6; ++sequence)
        QTest::addRow("sequence %u", sequence) << sequence;
}

void TestLinePane::sameResultsAsTheSendPane()
{
    QFETCH(quint32, sequence);
    QRandomGenerator random {sequence};
    RichTextBox before;
    LinePane pane;
    QSignalSpy changesBefore(&before, &RichTextBox::Change);
    QSignalSpy changes(&pane, &LinePane::Change);
    const QString sets[] = {QStringLiteral("\n"),
                            QStringLiteral("\r\n"),
                            QStringLiteral("\u00ff"),
                            QStringLiteral("AB"),
                            QStringLiteral(" "),
                            QStringLiteral("\r"),
                            QString()};
    for (int step = 0; step < 400; ++step) {
        const int size = int(before.Text().size());
        const int position = random.bounded(6) == 0 ? std::numeric_limits<int>::max()
                                                    : int(random.bounded(size + 4)) - 2;
        const QString &set = sets[random.bounded(int(std::size(sets)))];
        const bool forward = random.bounded(3) != 0;
        const bool negate = random.bounded(2) == 0;
        QString operation;
        const auto both = [&](auto f) {
            f(static_cast<QWidget &>(before));
            f(static_cast<QWidget &>(pane));
        };
        switch (random.bounded(7)) {
        case 0: {
            const QString text = randomText(random) + randomText(random);
            operation = QStringLiteral("Text=") + text;
            both([&](QWidget &p) { p.setProperty("Text", text); });
            break;
        }
        case 1:
        case 2: {
            const QString text = randomText(random);
            operation = QStringLiteral("SelText=") + text;
            both([&](QWidget &p) { p.setProperty("SelText", text); });
            break;
        }
        case 3:
            operation = QStringLiteral("SelStart=%1").arg(position);
            both([&](QWidget &p) { p.setProperty("SelStart", position); });
            break;
        case 4:
            operation = QStringLiteral("SelLength=%1").arg(position);
            both([&](QWidget &p) { p.setProperty("SelLength", position); });
            break;
        case 5:
            operation = QStringLiteral("Span(%1, %2, %3)").arg(set).arg(forward).arg(negate);
            before.Span(set, forward, negate);
            pane.Span(set, forward, negate);
            break;
        default:
            operation = QStringLiteral("UpTo(%1, %2, %3)").arg(set).arg(forward).arg(negate);
            before.UpTo(set, forward, negate);
            pane.UpTo(set, forward, negate);
            break;
        }
        QVERIFY2(state(pane) == state(before),
                 qPrintable(QStringLiteral("step %1, %2:\n  %3\n  %4")
                                .arg(step)
                                .arg(operation, state(pane), state(before))));
        QCOMPARE(changes.count(), changesBefore.count());
    }
}

void TestLinePane::selectingAcrossALineBreak_data()
{
    QTest::addColumn<bool>("byMouse");
    QTest::newRow("keyboard") << false;
    QTest::newRow("mouse") << true;
}

void TestLinePane::selectingAcrossALineBreak()
{
    QFETCH(bool, byMouse);
    LinePane pane;
    pane.resize(300, 200);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    pane.setFocus();
    pane.setText(QStringLiteral("AB\r\nCD"));
    // From the end of the first line to the start of the second: the CR LF, two positions.
    if (byMouse) {
        QTest::mousePress(pane.viewport(), Qt::LeftButton, {}, pointOf(pane, 2));
        QTest::mouseMove(pane.viewport(), pointOf(pane, 4));
        QTest::mouseRelease(pane.viewport(), Qt::LeftButton, {}, pointOf(pane, 4));
    } else {
        pane.setSelStart(2);
        QTest::keyClick(&pane, Qt::Key_Right, Qt::ShiftModifier);
    }
    QCOMPARE(pane.SelStart(), 2);
    QCOMPARE(pane.SelLength(), 2);
    QCOMPARE(pane.SelText(), QStringLiteral("\r\n"));

    // A word by double click, the line with its break by a third click.
    QTest::mouseDClick(pane.viewport(), Qt::LeftButton, {}, pointOf(pane, 5));
    QCOMPARE(pane.SelText(), QStringLiteral("CD"));
    QTest::mouseClick(pane.viewport(), Qt::LeftButton, {}, pointOf(pane, 0));
    QTest::mouseDClick(pane.viewport(), Qt::LeftButton, {}, pointOf(pane, 0));
    QTest::mouseClick(pane.viewport(), Qt::LeftButton, {}, pointOf(pane, 0));
    QCOMPARE(pane.SelText(), QStringLiteral("AB\r\n"));
    // Shift and the End of the text: from the caret to the very end.
    QTest::keyClick(&pane, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(&pane, Qt::Key_End, Qt::ShiftModifier | Qt::ControlModifier);
    QCOMPARE(pane.SelText(), pane.Text());
}

void TestLinePane::keysAsTheSendPane_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("start");
    QTest::addColumn<QKeyCombination>("key"); // Key_unknown: a double click
    QTest::addColumn<int>("times");
    const QString longWord = QStringLiteral("ab ") + QString(700, u'w') + QStringLiteral(" cd");
    QString pairs = QStringLiteral("a");
    for (int i = 0; i < 400; ++i)
        pairs += i % 2 ? QStringLiteral("\U0001F600") : QStringLiteral("\U00020000");
    pairs += QStringLiteral(" z\r\n") + pairs;
    const QString words
        = QStringLiteral("alpha, beta.gamma  -- d\u00e9lta\t\u65e5\u672c (x)\r\n  end. ");
    const QKeyCombination right(Qt::ControlModifier, Qt::Key_Right);
    const QKeyCombination left(Qt::ControlModifier, Qt::Key_Left);
    const QKeyCombination selectRight(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_Right);
    const QKeyCombination deleteEnd(Qt::ControlModifier, Qt::Key_Delete);
    const QKeyCombination deleteStart(Qt::ControlModifier, Qt::Key_Backspace);
    const QKeyCombination click(Qt::Key_unknown);
    QTest::newRow("words, forward") << words << 0 << right << 14;
    QTest::newRow("words, back") << words << int(words.size()) << left << 14;
    QTest::newRow("words, deleted forward") << words << 3 << deleteEnd << 8;
    QTest::newRow("words, deleted back") << words << int(words.size()) << deleteStart << 8;
    QTest::newRow("words, double clicks") << words << 0 << click << 36;
    QTest::newRow("long word, forward") << longWord << 3 << right << 2;
    QTest::newRow("long word, back") << longWord << int(longWord.size()) - 3 << left << 2;
    QTest::newRow("long word, selected") << longWord << 0 << selectRight << 2;
    QTest::newRow("long word, deleted back") << longWord << 703 << deleteStart << 1;
    QTest::newRow("long word, double click") << longWord << 400 << click << 1;
    QTest::newRow("pairs, forward") << pairs << 0 << right << 4;
    QTest::newRow("pairs, back") << pairs << int(pairs.size()) << left << 4;
    QTest::newRow("pairs, deleted forward") << pairs << 0 << deleteEnd << 3;
    QTest::newRow("pairs, deleted back") << pairs << int(pairs.size()) << deleteStart << 3;
    QTest::newRow("pairs, double clicks") << pairs << 511 << click << 4;

    // Right to left and mixed lines: the arrows go the way the line reads, as in the send pane.
    const QString hebrew = QStringLiteral("\u05e9\u05dc\u05d5\u05dd \u05e2\u05d5\u05dc\u05dd "
                                          "\u05d8\u05d5\u05d1 123");
    const QString arabic = QStringLiteral("\u0645\u0631\u062d\u0628\u0627 \u0628\u0627\u0644"
                                          "\u0639\u0627\u0644\u0645 45.6");
    const QString mixed = QStringLiteral("abc \u05e9\u05dc\u05d5\u05dd 12 def");
    const QString rtlMixed
        = QStringLiteral("\u05e9\u05dc\u05d5\u05dd abc def \u05e2\u05d5\u05dc\u05dd");
    const QString lines = hebrew + QStringLiteral("\r\n") + mixed + QStringLiteral("\r\n") + arabic
        + QStringLiteral("\r\n") + rtlMixed;
    const QString longLine = (hebrew + u' ').repeated(150) + QStringLiteral("\r\n") + mixed;
    const QKeyCombination rightKey(Qt::Key_Right);
    const QKeyCombination leftKey(Qt::Key_Left);
    const QKeyCombination selectLeft(Qt::ShiftModifier, Qt::Key_Left);
    const QKeyCombination selectWordLeft(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_Left);
    const QKeyCombination home(Qt::Key_Home);
    const QKeyCombination end(Qt::Key_End);
    const QKeyCombination selectEnd(Qt::ShiftModifier, Qt::Key_End);
    const int last = int(lines.size());
    QTest::newRow("right to left, Right") << lines << 0 << rightKey << 90;
    QTest::newRow("right to left, Left") << lines << last << leftKey << 90;
    QTest::newRow("right to left, Ctrl+Right") << lines << 0 << right << 30;
    QTest::newRow("right to left, Ctrl+Left") << lines << last << left << 30;
    QTest::newRow("right to left, Shift+Right") << lines << 10 << selectRight << 30;
    QTest::newRow("right to left, Shift+Left") << lines << last - 5 << selectLeft << 90;
    QTest::newRow("right to left, Ctrl+Shift+Left") << lines << 3 << selectWordLeft << 30;
    QTest::newRow("right to left, Home") << lines << 7 << home << 1;
    QTest::newRow("right to left, End") << lines << 7 << end << 1;
    QTest::newRow("right to left, Shift+End") << lines << 45 << selectEnd << 1;
    QTest::newRow("right to left, double clicks") << lines << 0 << click << last;
    QTest::newRow("right to left, Delete") << lines << 2 << QKeyCombination(Qt::Key_Delete) << 6;
    QTest::newRow("long right to left, Ctrl+Left") << longLine << 1200 << left << 12;
    QTest::newRow("long right to left, Shift+Right") << longLine << 2050 << selectRight << 12;
    QTest::newRow("long right to left, double clicks") << longLine << 2030 << click << 40;
}

void TestLinePane::keysAsTheSendPane()
{
    QFETCH(QString, text);
    QFETCH(int, start);
    QFETCH(QKeyCombination, key);
    QFETCH(int, times);
    RichTextBox send;
    LinePane received;
    for (QAbstractScrollArea *pane :
         std::initializer_list<QAbstractScrollArea *> {&send, &received}) {
        pane->resize(400, 200);
        pane->show();
        QVERIFY(QTest::qWaitForWindowExposed(pane));
        pane->setProperty("Text", text);
        pane->setProperty("SelStart", start);
    }
    for (int step = 0; step < times; ++step) {
        if (key.key() != Qt::Key_unknown) {
            QTest::keyClick(&send, key.key(), key.keyboardModifiers());
            QTest::keyClick(&received, key.key(), key.keyboardModifiers());
        } else if (!text[start + step].isLowSurrogate()) {
            QTest::mouseDClick(send.viewport(), Qt::LeftButton, {},
                               onCharacter(send, start + step));
            QTest::mouseDClick(received.viewport(), Qt::LeftButton, {},
                               onCharacter(received, start + step));
        }
        QVERIFY2(state(received) == state(send),
                 qPrintable(QStringLiteral("step %1:\n  %2\n  %3")
                                .arg(step)
                                .arg(state(received), state(send))));
        QVERIFY(received.Text().isValidUtf16() && received.SelText().isValidUtf16());
    }
}

void TestLinePane::typedAsTheSendPane_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("by"); // a key, an input method, a paste
    const Qt::KeyboardModifiers none;
    const QString key = QStringLiteral("key");
    const QString method = QStringLiteral("input method");
    QTest::newRow("emoji") << QStringLiteral("\U0001F600") << none << key;
    QTest::newRow("emoji, committed") << QStringLiteral("\U0001F600") << none << method;
    QTest::newRow("non-joiner") << QStringLiteral("\u200c") << none << key;
    QTest::newRow("non-joiner, Ctrl+Shift")
        << QStringLiteral("\u200c") << (Qt::ControlModifier | Qt::ShiftModifier) << key;
    QTest::newRow("joiner, committed") << QStringLiteral("\u200d") << none << method;
    QTest::newRow("private use") << QStringLiteral("\ue000") << none << key;
    QTest::newRow("private use beyond U+FFFF") << QStringLiteral("\U000F0000") << none << key;
    QTest::newRow("AltGr") << QStringLiteral("@") << (Qt::ControlModifier | Qt::AltModifier) << key;
    QTest::newRow("Ctrl") << QStringLiteral("q") << Qt::KeyboardModifiers(Qt::ControlModifier)
                          << key;
    QTest::newRow("control character") << QStringLiteral("\u0007") << none << key;
    QTest::newRow("object replacement") << QStringLiteral("\ufffc") << none << key;
    QTest::newRow("frame edge, committed") << QStringLiteral("a\ufdd0b") << none << method;
    QTest::newRow("frame edges, pasted")
        << QStringLiteral("a\ufdd0\ufdd1\ufffcb") << none << QStringLiteral("paste");
}

void TestLinePane::typedAsTheSendPane()
{
    QFETCH(QString, typed);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, by);
    RichTextBox send;
    LinePane received;
    for (QWidget *pane : std::initializer_list<QWidget *> {&send, &received}) {
        pane->show();
        pane->setProperty("Text", QStringLiteral("ab"));
        pane->setProperty("SelStart", 1);
        if (by == QStringLiteral("input method")) {
            QInputMethodEvent commit;
            commit.setCommitString(typed);
            QApplication::sendEvent(pane, &commit);
        } else if (by == QStringLiteral("paste")) {
            QApplication::clipboard()->setText(typed);
            QTest::keyClick(pane, Qt::Key_V, Qt::ControlModifier);
        } else {
            QTest::sendKeyEvent(QTest::Click, pane, Qt::Key_unknown, typed, modifiers);
        }
    }
    QCOMPARE(state(received), state(send));
    // Both hold the characters the program's text may hold, however they came.
    for (const QChar structural : {QChar(0xfdd0), QChar(0xfdd1), QChar(0xfffc)})
        QVERIFY(!send.Text().contains(structural));
}

void TestLinePane::printsOnTheSendPanesPages_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QPrinter::PrinterMode>("mode");
    const QString tabbed = QStringLiteral("12.5\t13.0\t14.2\t9.87\tOK");
    const QString wrapped = QStringLiteral("a long line of words to be wrapped ").repeated(8);
    QTest::newRow("tabbed lines") << tabbed << QPrinter::HighResolution;
    QTest::newRow("tabbed lines, screen resolution") << tabbed << QPrinter::ScreenResolution;
    QTest::newRow("wrapped lines") << wrapped << QPrinter::HighResolution;
    QTest::newRow("tabbed, wrapped") << wrapped + tabbed.repeated(3) << QPrinter::HighResolution;
}

void TestLinePane::printsOnTheSendPanesPages()
{
    QFETCH(QString, line);
    QFETCH(QPrinter::PrinterMode, mode);
    const QString text = QStringList(120, line).join(QStringLiteral("\r\n"));
    RichTextBox send;
    LinePane received;
    const int pages = printedPages(send, text, mode);
    QVERIFY(pages > 1);
    QCOMPARE(printedPages(received, text, mode), pages);
}

void TestLinePane::longLinesMeasuredAsDrawn_data()
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
}

void TestLinePane::longLinesMeasuredAsDrawn()
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

void TestLinePane::separatorsShownInTheirLine()
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

void TestLinePane::selectAllAndCopyIsTheText()
{
    LinePane pane;
    pane.show();
    pane.setFocus();
    // More than one chunk of the store.
    QString text;
    for (int i = 0; i < 60000; ++i)
        text += QStringLiteral("12.345,OK,14:03:07,%1\r\n").arg(i);
    pane.setText(text + QStringLiteral("\u00e9\u65e5"));
    QTest::keyClick(&pane, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
    // What was copied stays what it was, whatever the pane does next.
    pane.setText(QStringLiteral("later"));
    QCOMPARE(QApplication::clipboard()->text(), text + QStringLiteral("\u00e9\u65e5"));
}

void TestLinePane::typingAndPasteLandAtTheCaret()
{
    LinePane pane;
    pane.show();
    pane.setFocus();
    pane.setText(QStringLiteral("head\r\ntail"));
    QSignalSpy changes(&pane, &LinePane::Change);
    pane.setSelStart(6);
    QTest::keyClicks(&pane, QStringLiteral("ab"));
    QCOMPARE(pane.Text(), QStringLiteral("head\r\nabtail"));
    QCOMPARE(changes.count(), 2);
    QApplication::clipboard()->setText(QStringLiteral("P\nQ"));
    QTest::keyClick(&pane, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(pane.Text(), QStringLiteral("head\r\nabP\r\nQtail"));
    QCOMPARE(pane.SelStart(), 12);
    QCOMPARE(changes.count(), 3);
    // Backspace at a line's start takes the whole line break; Delete takes the next character.
    QTest::keyClick(&pane, Qt::Key_Home);
    QTest::keyClick(&pane, Qt::Key_Backspace);
    QTest::keyClick(&pane, Qt::Key_Delete);
    QCOMPARE(pane.Text(), QStringLiteral("head\r\nabPtail"));
    QCOMPARE(changes.count(), 5);

    // Locked: the user changes nothing, the program still can.
    pane.setLocked(true);
    QTest::keyClicks(&pane, QStringLiteral("typed"));
    QTest::keyClick(&pane, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(pane.Text(), QStringLiteral("head\r\nabPtail"));
    pane.setSelText(QStringLiteral("!"));
    QCOMPARE(pane.Text(), QStringLiteral("head\r\nabP!tail"));
}

void TestLinePane::receivedLinesLandAtTheEndAndTheViewFollows()
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

void TestLinePane::drawnInStepsAsDrawnWhole()
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

void TestLinePane::scrollArithmeticAtAnyLineCount_data()
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

void TestLinePane::scrollArithmeticAtAnyLineCount()
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

void TestLinePane::hugePaneScrollsAndRepaints_data()
{
    // Copies of 65,536 empty lines sharing their storage: the pane at these sizes in a few MB.
    QTest::addColumn<int>("copies");
    QTest::newRow("301 million lines") << 4600;
    QTest::newRow("2.2 billion lines, more than an int counts") << 33600;
}

void TestLinePane::hugePaneScrollsAndRepaints()
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

void TestLinePane::saveWhileLinesArriveLosesNone()
{
    WindowOnPty rig(WindowOnPty::Shown);
    QVERIFY(rig.isValid());
    QVERIFY(rig.start());
    QByteArray lines;
    for (int i = 1; i <= 20000; ++i)
        lines += QByteArray::number(i) + "\r";
    const int master = rig.device().masterFd();
    std::thread device([&] {
        for (qsizetype done = 0; done < lines.size();) {
            const ssize_t n
                = ::write(master, lines.constData() + done, size_t(lines.size() - done));
            if (n > 0)
                done += n;
            pollfd p {master, POLLOUT, 0};
            if (n < 0 && (errno != EAGAIN || ::poll(&p, 1, 1000) < 0))
                break;
        }
    });
    LinePane *pane = rig.form().RichTextBox2;
    QTRY_VERIFY_WITH_TIMEOUT(pane->lineCount() > 100, 20000);
    const QString path = rig.settingsFolder() + QStringLiteral("/received.txt");
    ModalAnswerer answerer;
    answerer.chooseFile(path);
    rig.form().S_Received->trigger();
    QVERIFY(answerer.waitAllAnswered());
    QTRY_COMPARE_WITH_TIMEOUT(pane->lineCount(), 20001, 30000);
    device.join();

    QCOMPARE(pane->Text(), QString::fromLatin1(lines).replace(u'\r', QStringLiteral("\r\n")));
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QString file = QString::fromUtf8(saved.readAll());
    QVERIFY(file.count(u'\n') > 100);
    QVERIFY(file.endsWith(QStringLiteral("\r\n")));
    QVERIFY(pane->Text().startsWith(file));
}

void TestLinePane::readerSeesTheText()
{
    LinePane pane;
    pane.setText(QStringLiteral("one\r\n\u65e5\u672c two\r\n\r\nlast"));
    QAccessibleInterface *reader = QAccessible::queryAccessibleInterface(&pane);
    QVERIFY(reader && reader->textInterface());
    QAccessibleTextInterface *text = reader->textInterface();
    QCOMPARE(reader->role(), QAccessible::EditableText);
    QCOMPARE(text->characterCount(), 16);
    QCOMPARE(text->text(0, 16), QStringLiteral("one\n\u65e5\u672c two\n\nlast"));
    int start = -1;
    int end = -1;
    QCOMPARE(text->textAtOffset(6, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("\u65e5\u672c two"));
    QCOMPARE(std::pair(start, end), std::pair(4, 10));
    QCOMPARE(text->textAtOffset(8, QAccessible::WordBoundary, &start, &end), QStringLiteral("two"));
    QCOMPARE(text->textAfterOffset(6, QAccessible::LineBoundary, &start, &end), QString());
    QCOMPARE(std::pair(start, end), std::pair(11, 11));
    QCOMPARE(text->textBeforeOffset(11, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("\u65e5\u672c two"));
    pane.setSelStart(13); // pane positions count CR LF as two, a reader's offsets as one
    QCOMPARE(text->cursorPosition(), 11);

    // A batch of lines at the end, read line by line as a reader follows it.
    pane.setSelStart(std::numeric_limits<int>::max());
    pane.setSelText(QStringLiteral("12.5\r\n13.0\r\n"));
    QCOMPARE(text->characterCount(), 26);
    QCOMPARE(text->textAtOffset(21, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("13.0"));
    QCOMPARE(text->cursorPosition(), 26);
    QCOMPARE(text->text(0, 26), pane.Text().replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

QTEST_MAIN(TestLinePane)
#include "tst_linepane.moc"
