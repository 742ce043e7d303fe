// What a close leaves of a line that was being written: how much of it the device has, and the
// line end it is still owed.
#pragma once

#include <QList>
#include <QString>
#include <QStringView>

// One write of the transmission: a line end owed from an earlier cut, the line, its terminator.
struct WrittenLine
{
    QString lineEnd {};
    QString text {};
    QString terminator {};

    bool isEmpty() const { return lineEnd.isEmpty() && text.isEmpty() && terminator.isEmpty(); }
    QString whole() const { return lineEnd + text + terminator; }
    // Its size on the wire: line ends are ASCII, the text goes as UTF-8.
    qsizetype bytes() const;
};

struct LineCut
{
    // Goes before whatever is written next, so the device never reads two lines as one.
    QString lineEndOwed {};
    qsizetype charactersLeft = 0; // of the text: those whose bytes all reached the device
    bool textBegun = false; // some of the text reached the device
    bool textWhole = false; // all of it did: the line is not written again
};

// The last droppedBytes of the line's UTF-8 never reached the device.
LineCut cutLine(const WrittenLine &line, qsizetype droppedBytes);

// Characters as the user counts them: a surrogate pair is one.
qsizetype characterCount(QStringView text);

// A write that went before the one in flight: its line of the send pane (0: a line end alone),
// its size on the wire, and the send pane's text it was numbered in.
struct SentWrite
{
    int number = 0;
    qsizetype bytes = 0;
    qint64 edition = 0;
};

// The lines with bytes among the `unsure` ones that precede the last `dropped` bytes of the
// writes (oldest first): those the device may not have read whole. Lines numbered in the pane's
// present text (`edition`) are named, each once; others the pane no longer holds as numbered.
struct UnreadLines
{
    QList<int> lines {}; // ascending
    bool ofEarlierText = false;
};
UnreadLines linesMaybeUnread(const QList<SentWrite> &writes, qsizetype dropped, qsizetype unsure,
                             qint64 edition);
// "3", "3 to 7", "9 to 10 and 1 to 2": the lines as runs of consecutive numbers.
QString lineRuns(const QList<int> &numbers);

// A close that waits for the line in flight to leave first: until nothing is left unsent, its
// time on the wire plus a margin has passed, or nothing has left for the stall time (a device
// that stopped reading must not hold the window up for the whole of a long line's time).
struct LineLeaving
{
    double deadline = 0.0; // on the pacing clock
    double stall = 0.0; // seconds in which something must leave
    double lastMove = 0.0;
    qint64 unsent = 0;

    // False once the wait is over.
    bool waits(qint64 nowUnsent, double now);
};
