// Find with a search under way through 40 million received lines: its progress, and what the user
// does meanwhile (types in the field or the pane, presses again, selects, searches the other
// pane) and lines arriving.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"
#include "tests/support/WindowOnPty.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

// 40 million stamped lines sharing one chunk's characters, and a line "needle" put in at each
// quarter given (4: after them all); the lines the needles went to, from the top.
QList<qint64> manyLines(LinePane *pane, QList<int> quarters)
{
    pane->setText(QString(QStringLiteral("12.345,OK,14:03:07,123\r\n")).repeated(65536 / 4));
    pane->repeatForTesting(40000000 / (65536 / 4));
    const qint64 lines = pane->lines().lineCount();
    std::sort(quarters.begin(), quarters.end(), std::greater());
    QList<qint64> needles;
    for (const int quarter : quarters) {
        const qint64 line = std::min(lines * quarter / 4, lines - 1);
        const qint64 at = pane->lines().position({.line = line});
        pane->select(at, at);
        pane->replaceSelection(QStringLiteral("needle\r\n"));
        // Each one put in above another moved that one down a line.
        for (qint64 &below : needles)
            ++below;
        needles.prepend(line);
    }
    return needles;
}

// Each character as a key of its own, as a keyboard types it.
void type(QWidget *widget, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, c, Qt::NoModifier);
}

void paste(QWidget *widget, const QString &text)
{
    QApplication::clipboard()->setText(text);
    QTest::keyClick(widget, Qt::Key_V, Qt::ControlModifier);
}

} // namespace

class TestFindUnderWay : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void millionsOfLinesShowProgressAndTypingRestarts();
    void whileASearchRuns_data();
    void whileASearchRuns();

private:
    // The window shown, its received pane many lines with needles, the caret at the top.
    bool setUp(const QList<int> &quarters);
    QLineEdit *field() { return m_rig->form().findChild<QLineEdit *>(QStringLiteral("FindText")); }
    QString hint() { return field()->findChild<QLabel *>()->text(); }

    std::unique_ptr<WindowOnPty> m_rig;
    QList<qint64> m_needles;
};

void TestFindUnderWay::cleanup()
{
    const QString left = WindowOnPty::endOfTest(m_rig);
    QVERIFY2(left.isEmpty(), qPrintable(left));
}

bool TestFindUnderWay::setUp(const QList<int> &quarters)
{
    m_rig = std::make_unique<WindowOnPty>(WindowOnPty::Shown);
    Form1 &form = m_rig->form();
    form.activateWindow();
    if (!m_rig->isValid() || !QTest::qWaitForWindowActive(&form))
        return false;
    m_needles = manyLines(form.RichTextBox2, quarters);
    form.RichTextBox2->setSelStart(0);
    return true;
}

void TestFindUnderWay::millionsOfLinesShowProgressAndTypingRestarts()
{
    QVERIFY(setUp({2, 4}));
    LinePane *pane = m_rig->form().RichTextBox2;
    const qint64 middle = m_needles[0];
    pane->setFocus();
    QTest::keyClick(pane, Qt::Key_F, Qt::ControlModifier);
    QVERIFY(field()->hasFocus());
    // Pasted whole: typed, its first letter would find the far needle in no time.
    paste(field(), QStringLiteral("needle"));
    QTRY_VERIFY_WITH_TIMEOUT(hint().startsWith(QStringLiteral("searching\u2026 ")), 60000);
    // Typing while it runs starts it again, for what the field holds now.
    type(field(), QStringLiteral("s"));
    QTRY_COMPARE_WITH_TIMEOUT(hint(), QStringLiteral("not found"), 120000);
    QCOMPARE(pane->caret(), qint64(0));
    const auto match = [pane] {
        return std::pair(pane->lines().place(pane->anchor()).line, pane->caret() - pane->anchor());
    };
    QTest::keyClick(field(), Qt::Key_Backspace);
    QTRY_VERIFY_WITH_TIMEOUT(hint().isEmpty() && pane->anchor() != pane->caret(), 120000);
    QCOMPARE(match(), std::pair(middle, qint64(6)));
    // It was out of sight: now in the middle of the view.
    const QRect shown = pane->positionRect(pane->caret());
    QVERIFY(std::abs(shown.center().y() - pane->viewport()->height() / 2) <= 2 * shown.height());
    QTest::keyClick(field(), Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(match().first == m_needles[1], 120000);
    QVERIFY(pane->viewport()->rect().contains(pane->positionRect(pane->caret())));
    QTest::keyClick(field(), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(hint(), QStringLiteral("from the top"), 120000);
    QCOMPARE(match(), std::pair(middle, qint64(6)));
    // Typing in the pane stops a search, which would otherwise pull the caret away later.
    type(field(), QStringLiteral("s"));
    QVERIFY(hint().startsWith(QStringLiteral("searching\u2026 ")));
    pane->setFocus();
    type(pane, QStringLiteral("z"));
    QCOMPARE(hint(), QString());
    QCOMPARE(pane->lines().lineText(middle), QStringLiteral("z"));
}

void TestFindUnderWay::whileASearchRuns_data()
{
    QTest::addColumn<QStringList>("acts");
    QTest::addColumn<int>("needle"); // the one selected in the end, 1 to 3; 0: none is
    QTest::addColumn<QString>("says"); // the field's hint in the end
    const auto row
        = [](const char *what, const QStringList &acts, int needle, const char *hint = "") {
              QTest::newRow(what) << acts << needle << QString::fromUtf8(hint);
          };
    row("Enter twice: the third match", {"Enter", "Enter"}, 3);
    row("Enter three times: the first again, from the top", {"Enter", "Enter", "Enter"}, 1,
        "from the top");
    row("Enter, then Shift+Enter: the first", {"Enter", "Shift+Enter"}, 1);
    row("Enter, then Escape: the second match all the same", {"Enter", "Escape"}, 2);
    row("F3 three times with the field closed: on from the first match, round to it",
        {"Escape", "F3", "F3", "F3"}, 1);
    row("lines arriving: the first match all the same", {"start", "arrive:more"}, 1);
    // A match landing later would pull the caret away from the user.
    row("typing at the pane's very end stops it", {"focus:received", "Ctrl+End", "type:abc"}, 0);
    row("a selection made in the pane stops it", {"focus:received", "Shift+Right", "Shift+Right"},
        0);
    row("F3 in the send pane stops it, and the field says so", {"focus:send", "F3"}, 0);
}

// Three needles at a quarter, a half and three quarters of the pane; "needle" pasted into the
// field with the caret at the top, and while that search runs, the acts.
void TestFindUnderWay::whileASearchRuns()
{
    QFETCH(QStringList, acts);
    QFETCH(int, needle);
    QFETCH(QString, says);
    QVERIFY(setUp({1, 2, 3}));
    Form1 &form = m_rig->form();
    LinePane *pane = form.RichTextBox2;
    RichTextBox *send = form.RichTextBox1;
    // Something searched in the send pane before, for F3 there to repeat.
    send->setText(QStringLiteral("READ?\r\nMEAS?\r\n"));
    send->setFocus();
    QTest::keyClick(send, Qt::Key_F, Qt::ControlModifier);
    paste(field(), QStringLiteral("meas"));
    QCOMPARE(send->SelStart(), 7);
    pane->setFocus();
    QTest::keyClick(pane, Qt::Key_F, Qt::ControlModifier);
    paste(field(), QStringLiteral("needle"));
    QVERIFY(hint().startsWith(QStringLiteral("searching\u2026 ")));

    for (const QString &act : acts) {
        const QString what = act.section(u':', 1);
        QWidget *focus = QApplication::focusWidget();
        if (act.startsWith(QLatin1String("focus:"))) {
            (what == QLatin1String("send") ? static_cast<QWidget *>(send) : pane)->setFocus();
        } else if (act == QLatin1String("start")) {
            QVERIFY(m_rig->start());
        } else if (act.startsWith(QLatin1String("arrive:"))) {
            QVERIFY(m_rig->device().write(what.toUtf8() + '\r'));
            QTRY_COMPARE(pane->lines().lineText(pane->lines().lineCount() - 2), what);
        } else if (act.startsWith(QLatin1String("type:"))) {
            type(focus, what);
        } else {
            const QKeyCombination key = QKeySequence::fromString(act)[0];
            QTest::keyClick(focus, key.key(), key.keyboardModifiers());
        }
    }
    const qint64 anchor = pane->anchor();
    const qint64 caret = pane->caret();
    if (needle > 0) {
        QTRY_COMPARE_WITH_TIMEOUT(pane->lines().place(pane->anchor()).line, m_needles[needle - 1],
                                  60000);
        QCOMPARE(pane->caret() - pane->anchor(), qint64(6));
    } else {
        // Dropped, the search says nothing more; the selection stays the user's.
        QTRY_VERIFY_WITH_TIMEOUT(!hint().startsWith(QStringLiteral("searching")), 60000);
        QCOMPARE(pane->anchor(), anchor);
        QCOMPARE(pane->caret(), caret);
    }
    QCOMPARE(hint(), says);
}

QTEST_MAIN(TestFindUnderWay)
#include "tst_find_underway.moc"
