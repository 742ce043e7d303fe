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
    // A line still leaving from before is no longer the transmission's, but a close that cuts
    // it still owes the device a line end.
    m_inFlight.resumes = false;
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
        // A cut line whose text had all left still needs the rest of its line end.
        if (!m_lineEndOwed.isEmpty()) {
            m_inFlight = {.written = {.lineEnd = std::exchange(m_lineEndOwed, QString())},
                          .due = NextSendTime};
            MSComm1->setOutput(m_inFlight.written.lineEnd);
            return;
        }
        Timer1->stop();
        RichTextBox1->setLocked(false);
        RichTextBox1->setSelStart(RichTextBox1->SelLength() + RichTextBox1->SelStart());
        RichTextBox1->setSelLength(0);
        return;
    }

    // Remembered until the next write, should a close cut it.
    const qsizetype terminator = SendLine.endsWith(QLatin1String("\r\n")) ? 2 : 1;
    m_inFlight = {.number = m_sendLineNumber,
                  .start = RichTextBox1->SelStart(),
                  .written = {.lineEnd = std::exchange(m_lineEndOwed, QString()),
                              .text = SendLine.chopped(terminator),
                              .terminator = SendLine.right(terminator)},
                  .due = NextSendTime};
    // The transmit buffer is not emptied first: the line before has left the port, and on a
    // pseudo-terminal emptying it would also drop what a slow reader has not read yet.
    MSComm1->setOutput(m_inFlight.written.whole());
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

// ClosePort closed the port, and the write in flight may have lost its end. The device is owed
// a line end before the next write, so it never reads two lines as one; a line of which not
// all the text left goes again, whole, if its transmission goes on after Start.
void Form1::noteCutLine()
{
    const LineInFlight line = std::exchange(m_inFlight, {});
    const int dropped = MSComm1->droppedOutput();
    if (dropped <= 0 || line.written.isEmpty())
        return;
    const LineCut cut = cutLine(line.written, dropped);
    m_lineEndOwed = cut.lineEndOwed;
    if (line.number == 0)
        return;
    const bool again = !cut.textWhole && line.resumes && Timer1->isActive();
    if (cut.textBegun) {
        m_cut = {.number = line.number,
                 .left = int(cut.charactersLeft),
                 .length = int(line.written.text.size()),
                 .again = again};
    }
    if (!again)
        return;
    SendLine = line.written.text + line.written.terminator;
    m_sendLineNumber = line.number;
    NextSendTime = line.due;
    RichTextBox1->setSelStart(line.start);
    RichTextBox1->setSelLength(int(line.written.text.size()));
}

// What the last close did to the line in flight, for the message that reports the close; the
// empty text when it cut none.
QString Form1::takeCutLineNote()
{
    const CutLine cut = std::exchange(m_cut, {});
    if (cut.number == 0)
        return QString();
    if (cut.left == cut.length) {
        return tr("Line %1 of the send pane had left but for the rest of its line end, which "
                  "goes before the next line sent; the line is not sent again.")
            .arg(cut.number);
    }
    const QString note = tr("Line %1 of the send pane was cut: %2 of its %3 characters had left.")
                             .arg(cut.number)
                             .arg(cut.left)
                             .arg(cut.length);
    return note + u' '
        + (cut.again ? tr("After Start a line end goes first, so the device can drop that part, "
                          "and then the whole line.")
                     : tr("A line end goes before the next line sent, so the device can drop "
                          "that part."));
}

// File > End or closing the window closed the port, and the user stayed: what the close cut, and
// a line error that waited for the line in flight, are told now.
void Form1::reportLeavingCancelled(std::int16_t waitingError)
{
    if (waitingError != 0) {
        reportLineError(waitingError);
        return;
    }
    const QString note = takeCutLineNote();
    if (!note.isEmpty())
        showMessage(QMessageBox::Warning, tr("The port was closed in the middle of a line."), note);
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
