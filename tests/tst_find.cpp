// Find in either pane, as the user drives it: Ctrl+F, typing, pasting, Enter, F3, Shift and
// Escape over the window's own panes, with lines arriving and with the send pane being sent;
// and the received pane's search against a look at each line.
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

#include <algorithm>
#include <memory>
#include <optional>

namespace {

// One thing the user does, and what the pane and the field show after it. A start of -1: the
// selection is what it was before the step. An open field has the focus.
enum Hint { None, Top, Bottom, NotFound };
const char *const hints[] = {"", "from the top", "from the bottom", "not found"};

struct Step
{
    QString act {};
    int start = -1;
    int length = 0;
    QString field {}; // the field's text; null: the field is closed, the pane has the focus
    Hint hint = None;
};

enum class Pane { Send, Received };

const QString fourLines = QStringLiteral("reading ok\r\nerror 42\r\nreading Ok\r\nlast OK\r\n");

QWidget *paneOf(Form1 &form, Pane pane)
{
    return pane == Pane::Send ? static_cast<QWidget *>(form.RichTextBox1)
                              : static_cast<QWidget *>(form.RichTextBox2);
}

// Each character as a key of its own, a pair whole, as a keyboard or an input method types it.
void type(QWidget *widget, const QString &text)
{
    for (qsizetype i = 0, n = 1; i < text.size(); i += n) {
        n = text[i].isHighSurrogate() ? 2 : 1;
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, text.mid(i, n), Qt::NoModifier);
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
    const int first = what.section(u',', 0, 0).toInt();
    const int second = what.section(u',', 1, 1).toInt();
    if (verb == QLatin1String("type")) {
        type(focus, what);
    } else if (verb == QLatin1String("paste") || verb == QLatin1String("menuPaste")) {
        QApplication::clipboard()->setText(what);
        if (verb == QLatin1String("paste"))
            QTest::keyClick(focus, Qt::Key_V, Qt::ControlModifier);
        else // as Paste in the field's menu does
            QMetaObject::invokeMethod(focus, "paste");
    } else if (verb == QLatin1String("select")) {
        paneOf(form, pane)->setProperty("SelStart", first);
        paneOf(form, pane)->setProperty("SelLength", second);
    } else if (verb == QLatin1String("resize")) {
        form.resize(first, second);
        return QTest::qWaitFor([&] { return form.size() == QSize(first, second); });
    } else if (verb == QLatin1String("start")) {
        return m_rig->start();
    } else if (verb == QLatin1String("send")) {
        form.Command1->click();
        return form.RichTextBox1->Locked();
    } else if (verb == QLatin1String("arrive")) {
        return m_rig->device().write(what.toUtf8() + '\r') && QTest::qWaitFor([&] {
                   return form.RichTextBox2->Text().endsWith(what + QStringLiteral("\r\n"));
               });
    } else {
        const QKeyCombination key = QKeySequence::fromString(action)[0];
        QTest::keyClick(focus, key.key(), key.keyboardModifiers());
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
            {{.act = "Ctrl+F", .start = 0, .field = ""},
             {.act = "type:OK", .start = 8, .length = 2, .field = "OK"},
             {.act = "Enter", .start = 30, .length = 2, .field = "OK"},
             // The field follows the pane as the window lays it out again.
             {.act = "resize:640,520", .start = 30, .length = 2, .field = "OK"},
             {.act = "F3", .start = 39, .length = 2, .field = "OK"},
             {.act = "Enter", .start = 8, .length = 2, .field = "OK", .hint = Top}});
        row("Shift+Enter and Shift+F3 go back, from the bottom", fourLines,
            {{.act = "Ctrl+F", .start = 0, .field = ""},
             {.act = "type:reading", .start = 0, .length = 7, .field = "reading"},
             {.act = "Shift+Enter", .start = 22, .length = 7, .field = "reading", .hint = Bottom},
             {.act = "Shift+F3", .start = 0, .length = 7, .field = "reading"}});
        row("a selection within one line starts the field, one over a line break does not",
            fourLines,
            {{.act = "select:12,5", .start = 12, .length = 5},
             {.act = "Ctrl+F", .start = 12, .length = 5, .field = "error"},
             {.act = "Escape", .start = 12, .length = 5},
             {.act = "select:5,20", .start = 5, .length = 20},
             {.act = "Ctrl+F", .start = 5, .length = 20, .field = "error"},
             {.act = "Enter", .start = 12, .length = 5, .field = "error", .hint = Top}});
        row("not found keeps the selection; the next match clears the tint", fourLines,
            {{.act = "select:12,5", .start = 12, .length = 5},
             {.act = "Ctrl+F", .start = 12, .length = 5, .field = "error"},
             {.act = "type:zebra", .start = 12, .length = 5, .field = "zebra", .hint = NotFound},
             {.act = "Shift+F3", .start = 12, .length = 5, .field = "zebra", .hint = NotFound},
             {.act = "Ctrl+F", .start = 12, .length = 5, .field = "zebra", .hint = NotFound},
             {.act = "type:42", .start = 18, .length = 2, .field = "42"}});
        row("Escape leaves the match selected; F3 and Shift+F3 repeat with the field closed",
            fourLines,
            {{.act = "F3", .start = 0, .field = ""}, // nothing to repeat yet: it asks
             {.act = "type:reading", .start = 0, .length = 7, .field = "reading"},
             {.act = "Escape", .start = 0, .length = 7},
             {.act = "F3", .start = 22, .length = 7},
             {.act = "F3", .start = 0, .length = 7},
             {.act = "Shift+F3", .start = 22, .length = 7}});
        row("typing searches from the selection's start", fourLines,
            {{.act = "select:22,0", .start = 22},
             {.act = "Ctrl+F", .start = 22, .field = ""},
             {.act = "type:r", .start = 22, .length = 1, .field = "r"},
             {.act = "type:e", .start = 22, .length = 2, .field = "re"},
             {.act = "type:x", .start = 22, .length = 2, .field = "rex", .hint = NotFound},
             {.act = "Backspace", .start = 22, .length = 2, .field = "re"},
             {.act = "type:a", .start = 22, .length = 3, .field = "rea"}});
        // A musical symbol (U+1D11E) twice, and a Deseret capital (U+10400) whose small letter
        // is U+10428; "a" and the first half of a pair would match as Qt compares.
        const QString split = "a" + QString(QChar(0xd834));
        const QString clefB = QStringLiteral("\U0001D11EB");
        row("a text pasted with line breaks is taken up to the first break inside it", fourLines,
            {{.act = "Ctrl+F", .start = 0, .field = ""},
             {.act = "paste:error 42\r\n", .start = 12, .length = 8, .field = "error 42"},
             {.act = "Ctrl+F", .start = 12, .length = 8, .field = "error 42"},
             {.act = "paste:\r\nlast OK\r\nreading",
              .start = 34,
              .length = 7,
              .field = "last OK"},
             // Into the middle: what follows the caret stays, and Ctrl+Z takes it back.
             {.act = "Home", .start = 34, .length = 7, .field = "last OK"},
             {.act = "Ctrl+Right", .start = 34, .length = 7, .field = "last OK"},
             {.act = "paste:\r\nand \r\nmore",
              .start = 34,
              .length = 7,
              .field = "last and OK",
              .hint = NotFound},
             {.act = "Ctrl+Z", .start = 34, .length = 7, .field = "last OK"},
             {.act = "menuPaste:\r\nand \r\nmore",
              .start = 34,
              .length = 7,
              .field = "last and OK",
              .hint = NotFound}});
        // Longer than a line edit takes by default.
        const QString longLine(40000, u'y');
        row("a selected line of 40,000 characters goes into the field whole; one longer than a "
            "device sends does not",
            "x\r\n" + longLine + "\r\n" + QString(65537, u'z') + "\r\n",
            {{.act = "select:3,40000", .start = 3, .length = 40000},
             {.act = "Ctrl+F", .start = 3, .length = 40000, .field = longLine},
             {.act = "Enter", .start = 3, .length = 40000, .field = longLine, .hint = Top},
             {.act = "Escape", .start = 3, .length = 40000},
             {.act = "select:40005,65537", .start = 40005, .length = 65537},
             {.act = "Ctrl+F", .start = 40005, .length = 65537, .field = longLine}});
        row("a match never splits a surrogate pair; letters beyond U+FFFF fold",
            QStringLiteral("a\U0001D11E\U0001D11Eb \U00010400x\r\n"),
            {{.act = "Ctrl+F", .start = 0, .field = ""},
             {.act = "type:\U00010428X", .start = 7, .length = 3, .field = "\U00010428X"},
             {.act = "Ctrl+F", .start = 7, .length = 3, .field = "\U00010428X"},
             {.act = "paste:" + split, .start = 7, .length = 3, .field = split, .hint = NotFound},
             {.act = "Ctrl+F", .start = 7, .length = 3, .field = split, .hint = NotFound},
             {.act = "paste:" + clefB, .start = 3, .length = 3, .field = clefB, .hint = Top}});
    }
    const auto row
        = [](const char *what, Pane pane, const QList<Step> &steps,
             const QString &text = fourLines) { QTest::newRow(what) << pane << text << steps; };
    // Lines of 65,536 zeros (the half after the first wide), as a device that never sends CR
    // leaves them, and thousands of zeros then "10": a text that almost matches everywhere.
    QString zeros;
    for (int i = 0; i < 255; ++i)
        zeros += i < 128 ? QString(65536, u'0') + "\r\n" : QString(65535, u'0') + "\u2126\r\n";
    zeros += QString(65534, u'0') + "10";
    const QString run = QString(32000, u'0') + "10";
    const int last = 255 * 65538 + 65536 - run.size();
    row("received pane: a text of zeros and 10 over lines of zeros, both ways", Pane::Received,
        {{.act = "Ctrl+F", .start = 0, .field = ""},
         {.act = "paste:" + run, .start = last, .length = int(run.size()), .field = run},
         {.act = "Shift+Enter",
          .start = last,
          .length = int(run.size()),
          .field = run,
          .hint = Bottom}},
        zeros);
    row("received pane: a match stays selected while lines arrive, and they are searched",
        Pane::Received,
        {{.act = "start", .start = 0},
         {.act = "Ctrl+F", .start = 0, .field = ""},
         {.act = "type:42", .start = 18, .length = 2, .field = "42"},
         {.act = "arrive:error 42 again", .start = 18, .length = 2, .field = "42"},
         {.act = "Enter", .start = 49, .length = 2, .field = "42"},
         {.act = "Escape", .start = 49, .length = 2},
         {.act = "arrive:more", .start = 49, .length = 2},
         // A selection of the user's own goes, as before, to the end where the lines land.
         {.act = "select:0,3", .start = 0, .length = 3},
         {.act = "arrive:x", .start = 68}});
    row("send pane: sending closes the field, the line being sent selected; no find then",
        Pane::Send,
        {{.act = "Ctrl+F", .start = 0, .field = ""},
         {.act = "type:error", .start = 12, .length = 5, .field = "error"},
         {.act = "start", .start = 12, .length = 5, .field = "error"},
         {.act = "send", .start = 0, .length = 10},
         {.act = "Ctrl+F"},
         {.act = "F3"},
         {.act = "Shift+F3"}});
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
    QLineEdit *field = form.findChild<QLineEdit *>(QStringLiteral("FindText"));
    const auto *hint = field->findChild<QLabel *>();
    // What a screen reader names them: the panes after their labels.
    const auto name = [](QWidget *named) {
        return QAccessible::queryAccessibleInterface(named)->text(QAccessible::Name);
    };
    QCOMPARE(name(widget), pane == Pane::Send ? "Send Data" : "Received Data");
    QCOMPARE(name(field), QStringLiteral("Find"));

    for (const Step &step : steps) {
        const QString at = QStringLiteral("after \"%1\"").arg(step.act);
        const int start = widget->property("SelStart").toInt();
        const int length = widget->property("SelLength").toInt();
        QVERIFY2(act(step.act, pane), qPrintable(at));
        QTRY_VERIFY_WITH_TIMEOUT(!hint->text().startsWith(QStringLiteral("searching")), 60000);
        const int selStart = widget->property("SelStart").toInt();
        const int selEnd = selStart + widget->property("SelLength").toInt();
        QCOMPARE(selStart, step.start < 0 ? start : step.start);
        QCOMPARE(selEnd - selStart, step.start < 0 ? length : step.length);
        const bool open = !step.field.isNull();
        QVERIFY2(field->isVisible() == open, qPrintable(at));
        QCOMPARE(QApplication::focusWidget(), open ? static_cast<QWidget *>(field) : widget);
        if (open) {
            QCOMPARE(field->text(), step.field);
            if (step.act == QLatin1String("Ctrl+F"))
                QCOMPARE(field->selectedText(), step.field);
            // Over the pane's bottom edge, inside the pane.
            const QRect over = QRect(field->mapTo(&form, QPoint()), field->size());
            const QRect under = QRect(widget->mapTo(&form, QPoint()), widget->size());
            QVERIFY2(under.contains(over) && over.center().y() > under.center().y()
                         && over.width() > under.width() * 3 / 4,
                     qPrintable(at));
            QCOMPARE(hint->text(), QString::fromUtf8(hints[step.hint]));
            const QColor base = field->palette().color(QPalette::Base);
            QCOMPARE(base.red() > base.green() + 32, step.hint == NotFound);
        }
        // A screen reader sees the selection the pane shows.
        const QString shown = widget->property("Text").toString();
        int reader[2] = {-1, -1};
        if (selEnd > selStart)
            QAccessible::queryAccessibleInterface(widget)->textInterface()->selection(0, &reader[0],
                                                                                      &reader[1]);
        QCOMPARE(reader[0], selEnd > selStart ? readerOffset(shown, selStart) : -1);
        QCOMPARE(reader[1], selEnd > selStart ? readerOffset(shown, selEnd) : -1);
    }
}

void TestFind::aStoreFindsWhatALineByLineLookFinds()
{
    // Small chunks, so matches meet chunk ends, and small steps, so searches stop and go on.
    // Runs of one letter, and texts that almost match them, end the search's skips.
    const QStringList pieces
        = QStringLiteral("a A ab \u00b5 \u03bc \u00c0 \U0001D11E \U00010400 "
                         "\U00010428 k \u212a \r\n \r\n aaaaaaaaaa aaaaaaaaaa aaaaaaaaaa")
              .split(u' ');
    const QStringList needles = QStringLiteral("a ab AB \u03bc \u00e0a \U00010428 k \u212a ba aKa "
                                               "\u00e0\U00010428 aaaaaaaba aaaaaaa\U00010428")
                                    .split(u' ')
        + QStringList {QString(QChar(0xdd1e)), QString(QChar(0xd834))};
    using Place = std::pair<qint64, qsizetype>;
    QRandomGenerator random(23);
    for (int round = 0; round < 2000; ++round) {
        LineStore store(1 + random.bounded(40), 1 + random.bounded(6));
        for (int i = random.bounded(60); i > 0; --i)
            store.append(pieces[random.bounded(pieces.size())]);
        const QString &needle = needles[random.bounded(needles.size())];
        // Every match, in order, as a look at each line and column finds it.
        QList<Place> all;
        for (qint64 line = 0; line < store.lineCount(); ++line) {
            const QString whole = store.lineText(line);
            const auto pairAt = [&](qsizetype i) {
                return i > 0 && i < whole.size() && whole[i].isLowSurrogate()
                    && whole[i - 1].isHighSurrogate();
            };
            for (qsizetype c = 0; c + needle.size() <= whole.size(); ++c) {
                const QStringView at = QStringView(whole).sliced(c, needle.size());
                if (!pairAt(c) && !pairAt(c + needle.size())
                    && at.compare(needle, Qt::CaseInsensitive) == 0)
                    all.append({line, c});
            }
        }
        const LineStore::Place from = store.place(random.bounded(int(store.size()) + 1));
        const LineStore::Place to = store.place(random.bounded(int(store.size()) + 1));
        const auto inRange = [&](Place p) {
            return p >= Place(from.line, from.column) && p < Place(to.line, to.column);
        };
        for (const bool forward : {true, false}) {
            std::optional<Place> expected;
            for (const Place &p : all) {
                if (inRange(p) && (!expected || !forward))
                    expected = p;
            }
            LineStore::Place left = from;
            LineStore::Place right = to;
            std::optional<Place> got;
            for (int step = 0;
                 Place(left.line, left.column) < Place(right.line, right.column) && !got; ++step) {
                QVERIFY(step < 10000);
                const LineStore::Found found
                    = store.find(needle, left, right, forward, 1 + random.bounded(20));
                if (found.match)
                    got = Place(found.at.line, found.at.column);
                else
                    (forward ? left : right) = found.at;
            }
            QVERIFY2(got == expected,
                     qPrintable(QStringLiteral("round %1, forward %2").arg(round).arg(forward)));
        }
    }
}

QTEST_MAIN(TestFind)
#include "tst_find.moc"
