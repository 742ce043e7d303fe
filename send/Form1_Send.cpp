// Sending: the buttons, the send timer and the line transmitter.
#include "app/Form1.h"

#include "panes/RichTextBox.h"
#include "send/SendText.h"
#include "serial/MSComm.h"
#include "settings/MenuItems.h"

#include <QAction>
#include <QPushButton>
#include <QStringView>
#include <QTimer>

#include <algorithm>
#include <utility>

void Form1::Command1_Click()
{
    if (!MSComm1->PortOpen()) {
        if (mHeader->isChecked())
            writeTimeStamp();
        OpenPort();
        return;
    }

    RichTextBox1->setLocked(true);
    RichTextBox1->setSelStart(0);
    RichTextBox1->setSelLength(0);
    m_sendLineNumber = 0;
    m_inFlight = {};
    PrepareNextLine();
    // The first line is due at once; the lines after it at fixed steps from now.
    NextSendTime = pacingClock();
    Timer1->start();
}

void Form1::Command2_Click()
{
    if (!MSComm1->PortOpen()) {
        ConfirmExit();
        return;
    }

    // A line error that waited for the line in flight is still reported; the port closes now.
    const std::int16_t waitingError = std::exchange(m_closeWhenSent, 0);
    Timer1->stop();
    RichTextBox1->setLocked(false);
    ClosePort();
    if (mFooter->isChecked())
        writeTimeStamp();
    if (waitingError != 0)
        reportLineError(waitingError);
}

void Form1::Timer1_Timer()
{
    // Closed by the receive path or by File > End: the transmission waits for Start.
    if (!MSComm1->PortOpen())
        return;
    const double now = pacingClock();
    // A line error from the received data closes the port once the line in flight has left
    // (or its time on the wire has passed): the next line waits for Start.
    if (m_closeWhenSent != 0) {
        if (MSComm1->OutBufferCount() != 0 && now < m_closeDeadline)
            return;
        const std::int16_t code = m_closeWhenSent;
        ClosePort();
        reportLineError(code);
        return;
    }
    if (NextSendTime > now)
        return;
    // A line is due only once the one before it has left the port: a slow wire paces the lines,
    // nothing piles up to be lost at Stop, and the end of a transmission is the end on the wire.
    if (MSComm1->OutBufferCount() != 0)
        return;

    if (SendLine.isEmpty()) {
        Timer1->stop();
        RichTextBox1->setLocked(false);
        RichTextBox1->setSelStart(RichTextBox1->SelLength() + RichTextBox1->SelStart());
        RichTextBox1->setSelLength(0);
        return;
    }

    // Remembered until the next line, should a close cut it.
    const QString text = RichTextBox1->SelText();
    const int terminator = SendLine.endsWith(QLatin1String("\r\n")) ? 2 : 1;
    const int lineEndFirst = int(SendLine.size() - text.size()) - terminator;
    m_inFlight
        = {m_sendLineNumber, RichTextBox1->SelStart(), text, SendLine, lineEndFirst, NextSendTime};
    // The transmit buffer is not emptied first: the line before has left the port, and on a
    // pseudo-terminal emptying it would also drop what a slow reader has not read yet.
    MSComm1->setOutput(SendLine);
    // A line held back (a slow wire, a suspension, a busy window) schedules the lines after it
    // from now, each after its wait, instead of in a burst. Up to two ticks is the timer's own
    // granularity and jitter, not lateness: the fixed steps from Send stay as they are.
    if (now - NextSendTime > 2 * Timer1->interval() / 1000.0)
        NextSendTime = now;
    PrepareNextLine();
}

void Form1::PrepareNextLine()
{
    RichTextBox *pane = RichTextBox1;
    if (pane->SelLength() != 0)
        pane->setSelStart(pane->SelLength() + pane->SelStart() + 2);

    pane->Span(QStringLiteral("\n"), true, true);
    if (pane->SelLength() == 0) {
        SendLine.clear();
        return;
    }

    ++m_sendLineNumber;
    pane->SetFocus();
    SendLine = pane->SelText() + QLatin1Char('\r');
    if (Term[0]->isChecked())
        SendLine += QLatin1Char('\n');

    // The Wait menu is read for every line, so a new choice applies from the next line on.
    if (const QAction *wait = selectedItem(Wait, IniVal[11]))
        NextSendTime += C_Val(wait->text());
}

// ClosePort closed the port under a transmission that goes on after Start. The line in flight
// lost what had not reached the wire: it goes again, whole, when the port opens, and the
// transmission goes on after it as before.
void Form1::noteCutLine()
{
    const LineInFlight line = std::exchange(m_inFlight, {});
    const int dropped = MSComm1->droppedOutput();
    if (line.number == 0 || dropped <= 0)
        return;
    const QByteArray written = line.written.toUtf8();
    const qsizetype sent = std::max<qsizetype>(0, written.size() - dropped);
    const qsizetype sentOfText = sent - line.lineEndFirst; // a line end is one byte a character

    // The characters of the line whose bytes all left.
    int left = 0;
    for (qsizetype bytes = 0; left < line.text.size();) {
        const int units
            = line.text.at(left).isHighSurrogate() && left + 1 < line.text.size() ? 2 : 1;
        const qsizetype size = QStringView(line.text).sliced(left, units).toUtf8().size();
        if (bytes + size > sentOfText)
            break;
        bytes += size;
        left += units;
    }

    // The device holds the part that left as an unfinished line: a line end finishes it first,
    // or the device would read that part and the whole line as one line.
    const bool unfinished = sentOfText > 0 || (line.lineEndFirst > 0 && sent < line.lineEndFirst);
    const QString terminator = line.written.sliced(line.lineEndFirst + line.text.size());
    SendLine = (unfinished ? terminator : QString()) + line.text + terminator;
    m_sendLineNumber = line.number;
    NextSendTime = line.due;
    RichTextBox1->setSelStart(line.start);
    RichTextBox1->setSelLength(int(line.text.size()));
    if (sentOfText > 0)
        m_cut = {line.number, left, int(line.text.size())};
}

// A Start that failed ends the transmission that waited for it: the pane is the user's again,
// with the first line that did not leave whole selected (the prepared line, or the cut one).
void Form1::endWaitingTransmission()
{
    Timer1->stop();
    m_inFlight = {};
    m_cut = {};
    RichTextBox1->setLocked(false);
    if (SendLine.isEmpty()) {
        RichTextBox1->setSelStart(RichTextBox1->SelLength() + RichTextBox1->SelStart());
        RichTextBox1->setSelLength(0);
    }
    RichTextBox1->SetFocus();
}
