// Find benchmark: Ctrl+F in a received pane of stamped lines, a text pasted into the field.
//   bench_find            1,000,000 and 10,000,000 lines, 10,000,000 wide ones, and long runs,
//                         each in a process of its own
//   bench_find N [wide]   on N lines: a text that is not there, one letter that is not there,
//                         and the last line's number (found near the end); for each the time
//                         from the paste to the answer and the longest time the window was busy.
//                         Wide: each line holds an ohm sign, so the pane keeps two bytes a
//                         character and Qt's own search looks through it
//   bench_find runs [wide] 64 lines of 65,536 zeros, as a device that never sends CR leaves
//                         them, and a text that almost matches everywhere: zeros, then "10"
#include "app/Form1.h"
#include "panes/lines/LinePane.h"
#include "settings/SettingsFile.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

// Lines as a device with Time and Seq. No. checked writes them, numbered 1..N.
LineStore stampedLines(int lines, bool wide)
{
    LineStore store;
    QString batch;
    for (int i = 1; i <= lines; ++i) {
        batch += QStringLiteral("%1.%2%3,OK,14:03:%4,%5\r\n")
                     .arg(i % 100)
                     .arg(i % 1000, 3, 10, QLatin1Char('0'))
                     .arg(wide ? QStringLiteral("\u2126") : QString())
                     .arg(i % 60, 2, 10, QLatin1Char('0'))
                     .arg(i);
        if (batch.size() > (1 << 20) || i == lines) {
            store.append(batch);
            batch.clear();
        }
    }
    return store;
}

LineStore zeroLines(bool wide)
{
    LineStore store;
    for (int i = 0; i < 64; ++i)
        store.append(QString(65536 - (wide ? 1 : 0), u'0')
                     + (wide ? QStringLiteral("\u2126") : QString()) + QStringLiteral("\r\n"));
    return store;
}

struct Answer
{
    bool found = false;
    double milliseconds = 0;
    double longestStallMs = 0;
};

// Pastes the text into the open find field, from the top of the pane, and waits for the answer
// while a 1 ms timer notes the longest gap between its ticks.
Answer findFromTheTop(Form1 &form, QLineEdit *field, const QLabel *hint, const QString &text)
{
    LinePane *pane = form.RichTextBox2;
    pane->select(0, 0);
    field->selectAll();
    QApplication::clipboard()->setText(text);
    QApplication::processEvents();

    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestGap = 0;
    Answer answer;
    QEventLoop loop;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
        const bool found = pane->anchor() != pane->caret();
        if (found || hint->text() == QLatin1String("not found")) {
            answer.found = found;
            answer.milliseconds = now / 1e6;
            loop.quit();
        }
    });
    clock.start();
    ticker.start();
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    loop.exec();
    answer.longestStallMs = longestGap / 1e6;
    return answer;
}

int run(int lines, bool wide)
{
    const bool runs = lines == 0;
    QTemporaryDir dir;
    overrideSettingsFolder(dir.path());
    Form1 form;
    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        return 1;
    form.activateWindow();
    QElapsedTimer building;
    building.start();
    form.RichTextBox2->setStore(runs ? zeroLines(wide) : stampedLines(lines, wide));
    std::printf("  %s%s (%.1f s to build)\n",
                runs ? "64 lines of 65,536 zeros"
                     : qPrintable(QStringLiteral("%1 stamped lines").arg(lines)),
                wide ? ", each with an ohm sign" : "", building.nsecsElapsed() / 1e9);
    form.RichTextBox2->setFocus();
    QTest::keyClick(form.RichTextBox2, Qt::Key_F, Qt::ControlModifier);
    auto *field = form.findChild<QLineEdit *>(QStringLiteral("FindText"));
    const auto *hint = field ? field->findChild<QLabel *>() : nullptr;
    if (!field || !field->isVisible() || !hint) {
        std::fprintf(stderr, "the find field did not open\n");
        return 1;
    }
    struct Search
    {
        const char *what;
        QString text;
        bool there;
    };
    const QList<Search> searches = runs
        ? QList<Search> {{"zeros, \"10\"", QString(16000, u'0') + QStringLiteral("10"), false},
                         {"zeros, \"10\"", QString(32000, u'0') + QStringLiteral("10"), false}}
        : QList<Search> {{"absent text", QStringLiteral("ERROR"), false},
                         {"absent letter", QStringLiteral("E"), false},
                         {"near the end", QStringLiteral(",%1").arg(lines), true}};
    int status = 0;
    for (const auto &search : searches) {
        const Answer answer = findFromTheTop(form, field, hint, search.text);
        const QString shown = search.text.size() > 20
            ? QStringLiteral("%1 characters").arg(search.text.size())
            : QStringLiteral("\"%1\"").arg(search.text);
        std::printf("    %-13s %s: %s in %.1f ms, longest time the window was busy %.1f ms\n",
                    search.what, qPrintable(shown), answer.found ? "found" : "not found",
                    answer.milliseconds, answer.longestStallMs);
        if (answer.found != search.there)
            status = 1;
    }
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        std::printf("find: Ctrl+F in the received pane, a text pasted into the field\n");
        std::fflush(stdout);
        int status = 0;
        const QList<QStringList> runs
            = {{"1000000"}, {"10000000"}, {"10000000", "wide"}, {"runs"}, {"runs", "wide"}};
        for (const QStringList &run : runs)
            status |= QProcess::execute(QCoreApplication::applicationFilePath(), run);
        return status;
    }
    const int lines = args[0] == QLatin1String("runs") ? 0 : args[0].toInt();
    if (lines < 0 || (lines == 0 && args[0] != QLatin1String("runs"))) {
        std::fprintf(stderr, "usage: bench_find [N|runs [wide]]\n");
        return 2;
    }
    const int status = run(lines, args.value(1) == QLatin1String("wide"));
    std::fflush(stdout);
    return status;
}
