// What a close leaves of a line that was being written: how much of it the device has, and the
// line end it is still owed.
#pragma once

#include <QString>

// One write of the transmission: a line end owed from an earlier cut, the line, its terminator.
struct WrittenLine
{
    QString lineEnd {};
    QString text {};
    QString terminator {};

    bool isEmpty() const { return lineEnd.isEmpty() && text.isEmpty() && terminator.isEmpty(); }
    QString whole() const { return lineEnd + text + terminator; }
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
