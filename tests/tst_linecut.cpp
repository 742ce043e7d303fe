// What a close leaves of a line being written: the device's share of it, and the line end it is
// owed, byte by byte across line ends, multi-byte characters and surrogate pairs.
#include "send/LineCut.h"

#include <QTest>

class TestLineCut : public QObject
{
    Q_OBJECT

private slots:
    void whatACutLeaves_data();
    void whatACutLeaves();
};

void TestLineCut::whatACutLeaves_data()
{
    QTest::addColumn<QString>("lineEnd"); // owed from an earlier cut, written first
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("terminator");
    QTest::addColumn<int>("dropped"); // bytes at the end that never reached the device
    QTest::addColumn<QString>("owed");
    QTest::addColumn<int>("left"); // characters of the text that reached the device
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
    QTest::newRow("surrogate pair whole") << none << pair << cr << 2 << cr << 3 << true << false;
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

QTEST_MAIN(TestLineCut)
#include "tst_linecut.moc"
