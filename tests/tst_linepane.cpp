// The received pane: the same operations, keys and typed text as the send pane's widget, with
// the same results.
#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <limits>

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
    const QString adlam = QStringLiteral("\U0001E900\U0001E901 abc\r\n\u05e9 \U0001E902 d");
    QTest::newRow("right to left beyond U+FFFF, Right") << adlam << 0 << rightKey << 16;
    QTest::newRow("right to left beyond U+FFFF, Ctrl+Left") << adlam << 18 << left << 8;
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

QTEST_MAIN(TestLinePane)
#include "tst_linepane.moc"
