// Keys on long lines: what one key costs in the received pane, repaint included, on lines of
// 1 K, 64 Ki, 1 Mi and 8 Mi characters, plain, with tabs and with wide characters, and the
// ratio of each to the 1 K line of its kind. The view is full of lines of that length.
//   bench_linekeys                 every length and kind
//   bench_linekeys LENGTH KIND     one case (KIND: plain, tabs, wide, arabic: joined without
//                                  spaces, embedded: a left-to-right embedding first,
//                                  ltr-hebrew: "a" then Hebrew words)
#include "panes/lines/LinePane.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <vector>

namespace {

constexpr int keyKinds = 4;
const char *const keyNames[keyKinds] = {"type", "Left", "End", "PageDown"};

QString lineOf(qsizetype length, const QString &kind)
{
    QString line;
    line.reserve(length);
    if (kind == QLatin1String("embedded"))
        line += QChar(0x202a);
    if (kind == QLatin1String("ltr-hebrew"))
        line += u'a';
    const QString arabic = QStringLiteral("\u0645\u0631\u062d\u0628\u0627\u0628\u0627\u0644");
    const QString hebrew = QStringLiteral("\u05e9\u05dc\u05d5\u05dd\u05e2\u05d5\u05dc\u05dd ");
    if (kind == QLatin1String("arabic") || kind == QLatin1String("ltr-hebrew")) {
        while (line.size() < length)
            line += kind == QLatin1String("arabic") ? arabic : hebrew;
        line.truncate(length);
        return line;
    }
    for (qsizetype i = 0; line.size() < length; ++i) {
        if (kind == QLatin1String("tabs") && i % 11 == 10)
            line += u'\t';
        else if (kind == QLatin1String("wide") && i % 3 != 2)
            line += QChar(0x4e00 + int(i % 2000));
        else
            line += QChar(u'a' + int(i % 26));
    }
    return line;
}

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Milliseconds a key takes, its repaint included: the median of a few presses, each from the
// same place. First, the time the view took to show the lines at all.
struct Figures
{
    double firstShow = 0;
    double keys[keyKinds] = {};
};

Figures measure(qsizetype length, const QString &kind)
{
    // The window's font for its panes.
    QFont font(QStringLiteral("Courier New"), 10);
    font.setStyleHint(QFont::TypeWriter);
    if (!QFontInfo(font).fixedPitch())
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    LinePane pane;
    pane.setFont(font);
    pane.resize(800, 600);
    pane.show();
    QApplication::processEvents();
    const int lines = 40;
    pane.setText(lineOf(length, kind));
    pane.repeatForTesting(lines - 1);
    // The caret in the middle of a line in the middle of the view.
    const qint64 middle = pane.lines().position({.line = lines / 2, .column = length / 2});
    QElapsedTimer clock;
    clock.start();
    pane.select(middle, middle);
    pane.viewport()->repaint();
    Figures figures;
    figures.firstShow = double(clock.nsecsElapsed()) / 1e6;

    const Qt::Key keys[keyKinds] = {Qt::Key_X, Qt::Key_Left, Qt::Key_End, Qt::Key_PageDown};
    for (int k = 0; k < keyKinds; ++k) {
        std::vector<double> samples;
        for (int i = 0; i < 12; ++i) {
            // Typing goes on where it was; the other keys start from the middle each time.
            if (k != 0 || i == 0) {
                pane.select(middle, middle);
                pane.viewport()->repaint();
            }
            QKeyEvent press(QEvent::KeyPress, keys[k], Qt::NoModifier,
                            k == 0 ? QStringLiteral("x") : QString());
            clock.restart();
            QApplication::sendEvent(&pane, &press);
            pane.viewport()->repaint();
            if (i > 1) // the first presses warm the caches
                samples.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
        figures.keys[k] = median(samples);
    }
    return figures;
}

int one(qsizetype length, const QString &kind)
{
    const Figures f = measure(length, kind);
    std::printf("%lld %s %.3f %.3f %.3f %.3f %.3f\n", qint64(length), qPrintable(kind), f.firstShow,
                f.keys[0], f.keys[1], f.keys[2], f.keys[3]);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 3)
        return one(arguments[1].toLongLong(), arguments[2]);

    std::printf("keys on long lines: ms per key with a repaint of an 800 x 600 view full of such "
                "lines (median), and its ratio to the 1 K line of the same kind\n");
    const qsizetype lengths[] = {1000, 64 * 1024, 1024 * 1024, 8 * 1024 * 1024};
    double worst = 0;
    for (const QString &kind :
         {QStringLiteral("plain"), QStringLiteral("tabs"), QStringLiteral("wide"),
          QStringLiteral("arabic"), QStringLiteral("embedded"), QStringLiteral("ltr-hebrew")}) {
        double base[keyKinds] = {};
        for (const qsizetype length : lengths) {
            // Each case in a process of its own, so no case inherits another's memory.
            QProcess run;
            run.start(QCoreApplication::applicationFilePath(), {QString::number(length), kind});
            if (!run.waitForFinished(600000) || run.exitCode() != 0) {
                std::printf("  %-10s %8lld chars: did not finish in 10 minutes\n", qPrintable(kind),
                            qint64(length));
                run.kill();
                run.waitForFinished();
                worst = std::numeric_limits<double>::infinity();
                continue;
            }
            const QList<QByteArray> f = run.readAllStandardOutput().trimmed().split(' ');
            if (f.size() != 7)
                return 1;
            std::printf("  %-10s %8lld chars: first view %8.2f ms;", qPrintable(kind),
                        qint64(length), f[2].toDouble());
            for (int k = 0; k < keyKinds; ++k) {
                const double ms = f[3 + k].toDouble();
                if (length == lengths[0])
                    base[k] = ms;
                const double ratio = ms / base[k];
                worst = std::max(worst, ratio);
                std::printf(" %s %.3f (x%.2f)", keyNames[k], ms, ratio);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    std::printf("  worst ratio to 1 K: %.2f\n", worst);
    return 0;
}
