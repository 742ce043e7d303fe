// Find in either pane, as the user drives it: Ctrl+F, typing, Enter, F3, Shift and Escape over
// the window's own panes, with lines arriving and with the send pane being sent.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"
#include "tests/support/WindowOnPty.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>

#include <memory>
#include <optional>

namespace {

// One thing the user does, and what the pane and the field show after it. A start of -1: the
// selection is what it was before the step.
struct Step
{
    QString action {};
    int selStart = -1;
    int selLength = 0;
    bool open = false; // the field open over the pane, with the focus
    QString field {}; // its text, when open
    QString hint {};
};

enum class Pane { Send, Received };

const QString fourLines
    = QStringLiteral("reading ok\r\nerror 42\r\nreading Ok\r\nlast OK\r\n");

QWidget *paneOf(Form1 &form, Pane pane)
{
    return pane == Pane::Send ? static_cast<QWidget *>(form.RichTextBox1)
                              : static_cast<QWidget *>(form.RichTextBox2);
}

QLineEdit *findField(Form1 &form)
{
    return form.findChild<QLineEdit *>(QStringLiteral("FindText"));
}

// Each character as a key of its own, a pair whole, as a keyboard or an input method types it.
void type(QWidget *widget, const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype length = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, text.mid(i, length),
                            Qt::NoModifier);
        i += length - 1;
    }
}

// A position as a screen reader counts it: a line break is one character.
int readerOffset(const QString &text, int position)
{
    return position - int(text.left(position).count(QStringLiteral("\r\n")));
}

} // namespace

class TestFind : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void findInAPane_data();
    void findInAPane();
    void panesAndTheFieldAreNamed();
    void millionsOfLinesShowProgressAndTypingRestarts();
    void aStoreFindsWhatALineByLineLookFinds();

private:
    bool act(const QString &action, Pane pane);

    std::unique_ptr<WindowOnPty> m_rig;
};

void TestFind::cleanup()
{
    const QString left = WindowOnPty::endOfTest(m_rig);
    QVERIFY2(left.isEmpty(), qPrintable(left));
}

bool TestFind::act(const QString &action, Pane pane)
{
    Form1 &form = m_rig->form();
    QWidget *focus = QApplication::focusWidget();
    const QString verb = action.section(u':', 0, 0);
    const QString what = action.section(u':', 1);
    static const QHash<QString, QKeyCombination> keys {
        {QStringLiteral("Ctrl+F"), Qt::CTRL | Qt::Key_F},
        {QStringLiteral("Enter"), QKeyCombination(Qt::Key_Return)},
        {QStringLiteral("Shift+Enter"), Qt::SHIFT | Qt::Key_Return},
        {QStringLiteral("F3"), QKeyCombination(Qt::Key_F3)},
        {QStringLiteral("Shift+F3"), Qt::SHIFT | Qt::Key_F3},
        {QStringLiteral("Escape"), QKeyCombination(Qt::Key_Escape)},
        {QStringLiteral("Backspace"), QKeyCombination(Qt::Key_Backspace)}};
    if (keys.contains(action)) {
        QTest::keyClick(focus, keys[action].key(), keys[action].keyboardModifiers());
    } else if (verb == QLatin1String("type")) {
        type(focus, what);
    } else if (verb == QLatin1String("paste")) {
        QApplication::clipboard()->setText(what);
        QTest::keyClick(focus, Qt::Key_V, Qt::ControlModifier);
    } else if (verb == QLatin1String("select")) {
        paneOf(form, pane)->setProperty("SelStart", what.section(u',', 0, 0).toInt());
        paneOf(form, pane)->setProperty("SelLength", what.section(u',', 1, 1).toInt());
    } else if (verb == QLatin1String("resize")) {
        form.resize(what.section(u',', 0, 0).toInt(), what.section(u',', 1, 1).toInt());
        return QTest::qWaitFor([&] {
            return form.size() == QSize(what.section(u',', 0, 0).toInt(),
                                        what.section(u',', 1, 1).toInt());
        });
    } else if (verb == QLatin1String("start")) {
        return m_rig->start();
    } else if (verb == QLatin1String("send")) {
        form.Command1->click();
        return form.RichTextBox1->Locked();
    } else if (verb == QLatin1String("arrive")) {
        if (!m_rig->device().write(what.toUtf8() + '\r'))
            return false;
        return QTest::qWaitFor(
            [&] { return form.RichTextBox2->Text().endsWith(what + QStringLiteral("\r\n")); },
            30000);
    } else {
        return false;
    }
    return true;
}

void TestFind::findInAPane_data()
{
    QTest::addColumn<Pane>("pane");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<Step>>("steps");

    for (const Pane pane : {Pane::Send, Pane::Received}) {
        const char *name = pane == Pane::Send ? "send pane: " : "received pane: ";
        const auto row = [&](const char *what, const QString &text, const QList<Step> &steps) {
            QTest::addRow("%s%s", name, what) << pane << text << steps;
        };
        row("OK finds ok, Ok and OK in turn, then from the top", fourLines,
            {{.action = "Ctrl+F", .selStart = 0, .open = true},
             {.action = "type:OK", .selStart = 8, .selLength = 2, .open = true, .field = "OK"},
             {.action = "Enter", .selStart = 30, .selLength = 2, .open = true, .field = "OK"},
             // The field follows the pane as the window lays it out again.
             {.action = "resize:640,520", .selStart = 30, .selLength = 2, .open = true,
              .field = "OK"},
             {.action = "F3", .selStart = 39, .selLength = 2, .open = true, .field = "OK"},
             {.action = "Enter",
              .selStart = 8,
              .selLength = 2,
              .open = true,
              .field = "OK",
              .hint = "from the top"}});
        row("Shift+Enter and Shift+F3 go back, from the bottom", fourLines,
            {{.action = "Ctrl+F", .selStart = 0, .open = true},
             {.action = "type:reading", .selStart = 0, .selLength = 7, .open = true,
              .field = "reading"},
             {.action = "Shift+Enter",
              .selStart = 22,
              .selLength = 7,
              .open = true,
              .field = "reading",
              .hint = "from the bottom"},
             {.action = "Shift+F3", .selStart = 0, .selLength = 7, .open = true,
              .field = "reading"}});
        row("a selection within one line starts the field", fourLines,
            {{.action = "select:12,5", .selStart = 12, .selLength = 5},
             {.action = "Ctrl+F", .selStart = 12, .selLength = 5, .open = true, .field = "error"},
             {.action = "Enter",
              .selStart = 12,
              .selLength = 5,
              .open = true,
              .field = "error",
              .hint = "from the top"}});
        row("a selection over a line break does not: the last text searched does", fourLines,
            {{.action = "Ctrl+F", .selStart = 0, .open = true},
             {.action = "type:42", .selStart = 18, .selLength = 2, .open = true, .field = "42"},
             {.action = "Escape", .selStart = 18, .selLength = 2},
             {.action = "select:5,20", .selStart = 5, .selLength = 20},
             {.action = "Ctrl+F", .selStart = 5, .selLength = 20, .open = true, .field = "42"},
             {.action = "Enter",
              .selStart = 18,
              .selLength = 2,
              .open = true,
              .field = "42",
              .hint = "from the top"}});
        row("not found keeps the selection; the next match clears the tint", fourLines,
            {{.action = "select:12,5", .selStart = 12, .selLength = 5},
             {.action = "Ctrl+F", .selStart = 12, .selLength = 5, .open = true, .field = "error"},
             {.action = "type:zebra",
              .selStart = 12,
              .selLength = 5,
              .open = true,
              .field = "zebra",
              .hint = "not found"},
             {.action = "Shift+F3",
              .selStart = 12,
              .selLength = 5,
              .open = true,
              .field = "zebra",
              .hint = "not found"},
             {.action = "Ctrl+F",
              .selStart = 12,
              .selLength = 5,
              .open = true,
              .field = "zebra",
              .hint = "not found"},
             {.action = "type:42", .selStart = 18, .selLength = 2, .open = true, .field = "42"}});
        row("Escape leaves the match selected; F3 and Shift+F3 repeat with the field closed",
            fourLines,
            {{.action = "Ctrl+F", .selStart = 0, .open = true},
             {.action = "type:reading", .selStart = 0, .selLength = 7, .open = true,
              .field = "reading"},
             {.action = "Escape", .selStart = 0, .selLength = 7},
             {.action = "F3", .selStart = 22, .selLength = 7},
             {.action = "F3", .selStart = 0, .selLength = 7},
             {.action = "Shift+F3", .selStart = 22, .selLength = 7}});
        row("F3 with nothing searched yet asks for the text", fourLines,
            {{.action = "F3", .selStart = 0, .open = true},
             {.action = "type:last", .selStart = 34, .selLength = 4, .open = true,
              .field = "last"}});
        row("typing searches from the selection's start", fourLines,
            {{.action = "select:22,0", .selStart = 22},
             {.action = "Ctrl+F", .selStart = 22, .open = true},
             {.action = "type:r", .selStart = 22, .selLength = 1, .open = true, .field = "r"},
             {.action = "type:e", .selStart = 22, .selLength = 2, .open = true, .field = "re"},
             {.action = "type:x",
              .selStart = 22,
              .selLength = 2,
              .open = true,
              .field = "rex",
              .hint = "not found"},
             {.action = "Backspace", .selStart = 22, .selLength = 2, .open = true, .field = "re"},
             {.action = "type:a", .selStart = 22, .selLength = 3, .open = true, .field = "rea"}});
        // A musical symbol (U+1D11E) twice, and a Deseret capital (U+10400) whose small letter
        // is U+10428.
        row("a match never splits a surrogate pair; letters beyond U+FFFF fold",
            QStringLiteral("a\U0001D11E\U0001D11Eb \U00010400x\r\n"),
            {{.action = "Ctrl+F", .selStart = 0, .open = true},
             {.action = "type:\U00010428X", .selStart = 7, .selLength = 3, .open = true,
              .field = "\U00010428X"},
             {.action = "Ctrl+F", .selStart = 7, .selLength = 3, .open = true,
              .field = "\U00010428X"},
             {.action = "paste:a" + QString(QChar(0xd834)),
              .selStart = 7,
              .selLength = 3,
              .open = true,
              .field = "a" + QString(QChar(0xd834)),
              .hint = "not found"},
             {.action = "Ctrl+F", .selStart = 7, .selLength = 3, .open = true,
              .field = "a" + QString(QChar(0xd834)), .hint = "not found"},
             {.action = "paste:\U0001D11EB", .selStart = 3, .selLength = 3, .open = true,
              .field = "\U0001D11EB", .hint = "from the top"}});
        row("Greek mu finds the micro sign, as Qt folds case", QStringLiteral("5.0 \u00b5A\r\n"),
            {{.action = "Ctrl+F", .selStart = 0, .open = true},
             {.action = "type:\u03bca", .selStart = 4, .selLength = 2, .open = true,
              .field = "\u03bca"}});
    }
    const auto row = [](const char *what, Pane pane, const QList<Step> &steps) {
        QTest::newRow(what) << pane << fourLines << steps;
    };
    row("received pane: a match stays selected while lines arrive, and they are searched",
        Pane::Received,
        {{.action = "start", .selStart = 0},
         {.action = "Ctrl+F", .selStart = 0, .open = true},
         {.action = "type:42", .selStart = 18, .selLength = 2, .open = true, .field = "42"},
         {.action = "arrive:error 42 again", .selStart = 18, .selLength = 2, .open = true,
          .field = "42"},
         {.action = "Enter", .selStart = 49, .selLength = 2, .open = true, .field = "42"},
         {.action = "Escape", .selStart = 49, .selLength = 2},
         {.action = "arrive:more", .selStart = 49, .selLength = 2},
         // A selection of the user's own goes, as before, to the end where the lines land.
         {.action = "select:0,3", .selStart = 0, .selLength = 3},
         {.action = "arrive:x", .selStart = 68}});
    row("send pane: no find while it is being sent", Pane::Send,
        {{.action = "start", .selStart = 0},
         {.action = "send", .selStart = 0, .selLength = 10},
         {.action = "Ctrl+F"},
         {.action = "F3"}});
    row("send pane: sending closes the field, the line being sent selected", Pane::Send,
        {{.action = "Ctrl+F", .selStart = 0, .open = true},
         {.action = "type:error", .selStart = 12, .selLength = 5, .open = true, .field = "error"},
         {.action = "start", .selStart = 12, .selLength = 5, .open = true, .field = "error"},
         {.action = "send", .selStart = 0, .selLength = 10},
         {.action = "Shift+F3"}});
}

void TestFind::findInAPane()
{
    QFETCH(Pane, pane);
    QFETCH(QString, text);
    QFETCH(QList<Step>, steps);

    m_rig = std::make_unique<WindowOnPty>(WindowOnPty::Shown);
    QVERIFY(m_rig->isValid());
    Form1 &form = m_rig->form();
    // A second sending line a second later keeps the send pane locked while the test looks.
    QVERIFY(WindowOnPty::choose(form.Wait[10]));
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QWidget *widget = paneOf(form, pane);
    widget->setProperty("Text", text);
    widget->setFocus();
    QLineEdit *field = findField(form);
    QVERIFY(field);
    QCOMPARE(field->accessibleName(), QStringLiteral("Find"));
    const auto *hint = field->findChild<QLabel *>();
    QVERIFY(hint);

    for (const Step &step : steps) {
        const QString at = QStringLiteral("after \"%1\"").arg(step.action);
        const int start = widget->property("SelStart").toInt();
        const int length = widget->property("SelLength").toInt();
        QVERIFY2(act(step.action, pane), qPrintable(step.action));
        const bool expectSame = step.selStart < 0;
        QCOMPARE(widget->property("SelStart").toInt(), expectSame ? start : step.selStart);
        QCOMPARE(widget->property("SelLength").toInt(), expectSame ? length : step.selLength);
        QVERIFY2(field->isVisible() == step.open, qPrintable(at));
        QCOMPARE(QApplication::focusWidget(), step.open ? static_cast<QWidget *>(field) : widget);
        if (step.open) {
            QCOMPARE(field->text(), step.field);
            if (step.action == QLatin1String("Ctrl+F"))
                QCOMPARE(field->selectedText(), step.field);
            // Over the pane's bottom edge, inside the pane.
            const QRect over = QRect(field->mapTo(&form, QPoint()), field->size());
            const QRect under = QRect(widget->mapTo(&form, QPoint()), widget->size());
            QVERIFY2(under.contains(over) && over.center().y() > under.center().y()
                         && over.width() > under.width() * 3 / 4,
                     qPrintable(at));
            QCOMPARE(hint->text(), step.hint);
            const QColor base = field->palette().color(QPalette::Base);
            QCOMPARE(base.red() > base.green() + 32, step.hint == QLatin1String("not found"));
        }
        // A screen reader sees the selection the pane shows.
        QAccessibleTextInterface *reader
            = QAccessible::queryAccessibleInterface(widget)->textInterface();
        QVERIFY(reader);
        const QString shown = widget->property("Text").toString();
        const int selStart = widget->property("SelStart").toInt();
        const int selEnd = selStart + widget->property("SelLength").toInt();
        int readerStart = -1;
        int readerEnd = -1;
        if (selEnd > selStart)
            reader->selection(0, &readerStart, &readerEnd);
        QCOMPARE(readerStart, selEnd > selStart ? readerOffset(shown, selStart) : -1);
        QCOMPARE(readerEnd, selEnd > selStart ? readerOffset(shown, selEnd) : -1);
    }
}

void TestFind::panesAndTheFieldAreNamed()
{
    m_rig = std::make_unique<WindowOnPty>();
    QVERIFY(m_rig->isValid());
    Form1 &form = m_rig->form();
    const auto name = [](QWidget *widget) {
        return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
    };
    QCOMPARE(name(form.RichTextBox1), QStringLiteral("Send Data"));
    QCOMPARE(name(form.RichTextBox2), QStringLiteral("Received Data"));
    QCOMPARE(name(findField(form)), QStringLiteral("Find"));
    // The labels say what they said.
    QCOMPARE(form.Label1->text(), QStringLiteral("Send Data"));
    QCOMPARE(form.Label2->text(), QStringLiteral("Received Data"));
}

void TestFind::millionsOfLinesShowProgressAndTypingRestarts()
{
    m_rig = std::make_unique<WindowOnPty>(WindowOnPty::Shown);
    QVERIFY(m_rig->isValid());
    Form1 &form = m_rig->form();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    LinePane *pane = form.RichTextBox2;
    // 40 million stamped lines sharing one chunk's characters, a needle in their middle and
    // one after them.
    pane->setText(QString(QStringLiteral("12.345,OK,14:03:07,123\r\n")).repeated(65536 / 4));
    pane->repeatForTesting(40000000 / (65536 / 4));
    const qint64 middle = pane->lines().lineCount() / 2;
    pane->select(pane->lines().position({.line = middle}), pane->lines().position({.line = middle}));
    pane->replaceSelection(QStringLiteral("needle\r\n"));
    pane->select(pane->textLength(), pane->textLength());
    pane->replaceSelection(QStringLiteral("needle\r\n"));
    const qint64 last = pane->lines().lineCount() - 2;
    pane->setSelStart(0);
    pane->setFocus();

    QTest::keyClick(pane, Qt::Key_F, Qt::ControlModifier);
    QLineEdit *field = findField(form);
    QVERIFY(field->hasFocus());
    const auto *hint = field->findChild<QLabel *>();
    // Pasted whole: typed, its first letter would find the far needle in no time.
    QApplication::clipboard()->setText(QStringLiteral("needle"));
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    QTRY_VERIFY_WITH_TIMEOUT(hint->text().startsWith(QStringLiteral("searching\u2026 ")), 60000);
    // Typing while it runs starts it again, for what the field holds now.
    type(field, QStringLiteral("s"));
    QTRY_COMPARE_WITH_TIMEOUT(hint->text(), QStringLiteral("not found"), 120000);
    QCOMPARE(pane->caret(), qint64(0));
    const auto match = [pane] {
        return std::pair(pane->lines().place(pane->anchor()).line, pane->caret() - pane->anchor());
    };
    QTest::keyClick(field, Qt::Key_Backspace);
    QTRY_VERIFY_WITH_TIMEOUT(hint->text().isEmpty() && pane->anchor() != pane->caret(), 120000);
    QCOMPARE(match(), std::pair(middle, qint64(6)));
    // It was out of sight: now in the middle of the view.
    const QRect shown = pane->positionRect(pane->caret());
    QVERIFY(std::abs(shown.center().y() - pane->viewport()->height() / 2) <= 2 * shown.height());
    QTest::keyClick(field, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(match().first == last, 120000);
    QVERIFY(pane->viewport()->rect().contains(pane->positionRect(pane->caret())));
    QTest::keyClick(field, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(hint->text(), QStringLiteral("from the top"), 120000);
    QCOMPARE(match(), std::pair(middle, qint64(6)));
    // Typing in the pane stops a search, which would otherwise pull the caret away later.
    type(field, QStringLiteral("s"));
    QVERIFY(hint->text().startsWith(QStringLiteral("searching\u2026 ")));
    pane->setFocus();
    type(pane, QStringLiteral("z"));
    QCOMPARE(hint->text(), QString());
    QCOMPARE(pane->lines().lineText(middle), QStringLiteral("z"));
}

void TestFind::aStoreFindsWhatALineByLineLookFinds()
{
    // Small chunks, so matches meet chunk ends, and small steps, so searches stop and go on.
    const QString pieces[] = {"a", "A", "ab", "\u00b5", "\u03bc", "\u00c0", "\U0001D11E",
                              "\U00010400", "\U00010428", "k", "\u212a", "\r\n", "\r\n"};
    const QString needles[] = {"a",   "ab", "AB", "\u03bc", "\u00e0a", "\U00010428", "k",
                               "\u212a", "ba", "aKa", "\u00e0\U00010428",
                               QString(QChar(0xdd1e)), QString(QChar(0xd834))};
    QRandomGenerator random(23);
    for (int round = 0; round < 2000; ++round) {
        LineStore store(1 + random.bounded(40), 1 + random.bounded(6));
        QString text;
        for (int i = random.bounded(60); i > 0; --i)
            text += pieces[random.bounded(int(std::size(pieces)))];
        store.append(text);
        const QString &needle = needles[random.bounded(int(std::size(needles)))];
        const LineStore::Place from = store.place(random.bounded(int(store.size()) + 1));
        const LineStore::Place to = store.place(random.bounded(int(store.size()) + 1));
        const auto before = [](LineStore::Place a, LineStore::Place b) {
            return a.line < b.line || (a.line == b.line && a.column < b.column);
        };
        for (const bool forward : {true, false}) {
            std::optional<LineStore::Place> expected;
            for (qint64 line = from.line; line <= to.line && (!expected || !forward); ++line) {
                const QString whole = store.lineText(line);
                const auto pairAt = [&](qsizetype i) {
                    return i > 0 && i < whole.size() && whole[i].isLowSurrogate()
                        && whole[i - 1].isHighSurrogate();
                };
                for (qsizetype c = 0; c + needle.size() <= whole.size(); ++c) {
                    const LineStore::Place p {.line = line, .column = c};
                    if (!before(p, from) && before(p, to) && !pairAt(c)
                        && !pairAt(c + needle.size())
                        && QStringView(whole).sliced(c, needle.size())
                               .compare(needle, Qt::CaseInsensitive) == 0) {
                        expected = p;
                        if (forward)
                            break;
                    }
                }
            }
            LineStore::Place left = from;
            LineStore::Place right = to;
            std::optional<LineStore::Place> got;
            for (int step = 0; before(left, right) && !got; ++step) {
                QVERIFY(step < 10000);
                const LineStore::Found found
                    = store.find(needle, left, right, forward, 1 + random.bounded(20));
                if (found.match)
                    got = found.at;
                else
                    (forward ? left : right) = found.at;
            }
            QVERIFY2(got.has_value() == expected.has_value()
                         && (!got || (got->line == expected->line
                                      && got->column == expected->column)),
                     qPrintable(QStringLiteral("round %1, %2").arg(round).arg(forward)));
        }
    }
}

QTEST_MAIN(TestFind)
#include "tst_find.moc"
