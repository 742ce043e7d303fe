// What a close leaves of a line being written: the device's share of it, and the line end it is
// owed, byte by byte across line ends, multi-byte characters and surrogate pairs; the lines a
// device that went away may not have read; how long a close waits for the line in flight.
#include "send/LineCut.h"

#include <QTest>

Q_DECLARE_METATYPE(SentWrite)

class TestLineCut : public QObject
{
    Q_OBJECT

private slots:
    void whatACutLeaves_data();
    void whatACutLeaves();
    void linesAGoneDeviceMayNotHaveRead_data();
    void linesAGoneDeviceMayNotHaveRead();
    void waitForTheLineInFlight_data();
    void waitForTheLineInFlight();
};

void TestLineCut::whatACutLeaves_data()
{
    QTest::addColumn<QString>("lineEnd"); // owed from an earlier cut, written first
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("terminator");
    QTest::addColumn<int>("dropped"); // bytes at the end that never reached the device
    QTest::addColumn<QString>("owed");
    QTest::addColumn<int>("left"); // characters of the text that reached the device, as counted
    QTest::addColumn<bool>("begun");
    QTest::addColumn<bool>("whole");
    const QString none, cr = QStringLiteral("\r"), lf = QStringLiteral("\n");
    const QString crlf = cr + lf, abc = QStringLiteral("ABC");
    QTest::newRow("nothing dropped") << none << abc << crlf << 0 << none << 3 << true << true;
    QTest::newRow("the LF kept back: the line is not sent twice")
        << none << abc << crlf << 1 << lf << 3 << true << true;
    QTest::newRow("the whole CR LF kept back")
        << none << abc << crlf << 2 << crlf << 3 << true << true;
    QTest::newRow("the CR alone kept back") << none << abc << cr << 1 << cr << 3 << true << true;
    QTest::newRow("the last character kept back")
        << none << abc << crlf << 3 << crlf << 2 << true << false;
    QTest::newRow("none of the text left: it goes again, nothing owed")
        << none << abc << crlf << 5 << none << 0 << false << false;
    QTest::newRow("owed line end left, then nothing")
        << crlf << abc << crlf << 5 << none << 0 << false << false;
    QTest::newRow("owed line end half left")
        << crlf << abc << crlf << 6 << lf << 0 << false << false;
    QTest::newRow("owed line end not begun")
        << crlf << abc << crlf << 7 << crlf << 0 << false << false;
    QTest::newRow("more dropped than written")
        << cr << abc << cr << 99 << cr << 0 << false << false;
    QTest::newRow("a line end alone, half left")
        << crlf << none << none << 1 << lf << 0 << false << false;
    // K, then a-umlaut in two bytes of which one left: one character counts.
    QTest::newRow("two-byte character split")
        << none << QStringLiteral("K\u00e4se") << cr << 4 << cr << 1 << true << false;
    const QString pair = QStringLiteral("a\U0001F600b");
    QTest::newRow("surrogate pair split") << none << pair << cr << 4 << cr << 1 << true << false;
    QTest::newRow("surrogate pair whole") << none << pair << cr << 2 << cr << 2 << true << false;
    // A character beyond U+FFFF is one, as the user counts: the message must not say twice as
    // many left as the device holds.
    const QString faces = QString::fromUcs4(U"\U0001F600").repeated(10);
    QTest::newRow("ten faces, three whole and a byte")
        << none << faces << cr << 28 << cr << 3 << true << false;
    QTest::newRow("ten faces, all but the line end")
        << none << faces << crlf << 2 << crlf << 10 << true << true;
    const QString lone = QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b");
    QTest::newRow("lone surrogate, one byte")
        << none << lone << cr << 2 << cr << 2 << true << false;
}

void TestLineCut::whatACutLeaves()
{
    QFETCH(QString, lineEnd);
    QFETCH(QString, text);
    QFETCH(QString, terminator);
    QFETCH(int, dropped);
    const LineCut cut
        = cutLine({.lineEnd = lineEnd, .text = text, .terminator = terminator}, dropped);
    QTEST(cut.lineEndOwed, "owed");
    QTEST(int(cut.charactersLeft), "left");
    QTEST(cut.textBegun, "begun");
    QTEST(cut.textWhole, "whole");
}

void TestLineCut::linesAGoneDeviceMayNotHaveRead_data()
{
    QTest::addColumn<QList<SentWrite>>("writes"); // oldest first, the one in flight last
    QTest::addColumn<int>("dropped"); // bytes at the end that never left
    QTest::addColumn<int>("unsure"); // bytes before them the device may not have read
    QTest::addColumn<QString>("lines"); // numbered in the pane's present text (edition 1)
    QTest::addColumn<bool>("earlier"); // and lines of a text the pane no longer holds
    const QList<SentWrite> ten {{.number = 5, .bytes = 10, .edition = 1},
                                {.number = 6, .bytes = 10, .edition = 1},
                                {.number = 7, .bytes = 10, .edition = 1}};
    QTest::newRow("nothing unsure") << ten << 4 << 0 << "" << false;
    QTest::newRow("within the line in flight") << ten << 4 << 6 << "7" << false;
    QTest::newRow("one byte into the line before") << ten << 4 << 7 << "6 to 7" << false;
    QTest::newRow("back to the first") << ten << 0 << 21 << "5 to 7" << false;
    QTest::newRow("the line in flight dropped whole") << ten << 10 << 10 << "6" << false;
    QTest::newRow("more than was written") << ten << 0 << 99 << "5 to 7" << false;
    QTest::newRow("a line end alone is no line, Send started over")
        << QList<SentWrite> {{.number = 9, .bytes = 5, .edition = 1},
                             {.number = 0, .bytes = 2, .edition = 1},
                             {.number = 1, .bytes = 4, .edition = 1},
                             {.number = 2, .bytes = 4, .edition = 1}}
        << 1 << 14 << "1 to 2 and 9" << false;
    QTest::newRow("restarted twice")
        << QList<SentWrite> {{.number = 3, .bytes = 4, .edition = 1},
                             {.number = 4, .bytes = 4, .edition = 1},
                             {.number = 1, .bytes = 4, .edition = 1},
                             {.number = 1, .bytes = 4, .edition = 1}}
        << 0 << 16 << "1 and 3 to 4" << false;
    QTest::newRow("sent again whole: each line once") << ten + ten << 0 << 60 << "5 to 7" << false;
    QTest::newRow("the pane changed since")
        << QList<SentWrite> {{.number = 1, .bytes = 4, .edition = 0},
                             {.number = 2, .bytes = 4, .edition = 0},
                             {.number = 2, .bytes = 4, .edition = 1}}
        << 0 << 12 << "2" << true;
    QTest::newRow("the pane changed before what is unsure")
        << QList<SentWrite> {{.number = 1, .bytes = 4, .edition = 0},
                             {.number = 2, .bytes = 4, .edition = 1}}
        << 0 << 4 << "2" << false;
}

void TestLineCut::linesAGoneDeviceMayNotHaveRead()
{
    QFETCH(QList<SentWrite>, writes);
    QFETCH(int, dropped);
    QFETCH(int, unsure);
    const UnreadLines unread = linesMaybeUnread(writes, dropped, unsure, 1);
    QTEST(lineRuns(unread.lines), "lines");
    QTEST(unread.ofEarlierText, "earlier");
}

void TestLineCut::waitForTheLineInFlight_data()
{
    // Wire time 10 s, stall 2 s, from time 0 with 100 bytes unsent.
    QTest::addColumn<QList<double>>("times");
    QTest::addColumn<QList<int>>("unsent"); // at each time
    QTest::addColumn<bool>("waits"); // at the last
    QTest::newRow("left") << QList<double> {1} << QList<int> {0} << false;
    QTest::newRow("leaving steadily") << QList<double> {1.9, 3.8, 5.7} << QList<int> {90, 80, 70}
                                      << true;
    QTest::newRow("stopped reading") << QList<double> {1, 3.1} << QList<int> {90, 90} << false;
    QTest::newRow("too slow for its time on the wire")
        << QList<double> {1.9, 3.8, 5.7, 7.6, 9.5, 11} << QList<int> {90, 80, 70, 60, 50, 40}
        << false;
}

void TestLineCut::waitForTheLineInFlight()
{
    QFETCH(QList<double>, times);
    QFETCH(QList<int>, unsent);
    LineLeaving wait {.deadline = 10, .stall = 2, .lastMove = 0, .unsent = 100};
    bool waits = true;
    for (qsizetype k = 0; k < times.size(); ++k)
        waits = wait.waits(unsent[k], times[k]);
    QTEST(waits, "waits");
}

QTEST_MAIN(TestLineCut)
#include "tst_linecut.moc"
