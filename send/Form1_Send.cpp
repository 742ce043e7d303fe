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
    // Stop while leaving waits for the line in flight: the wait ends, and the port closes.
    if (m_leaving) {
        m_leaveNow = true;
        return;
    }
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
    // Closed by the receive path or by File > End: the transmission waits for Start. Leaving:
    // nothing more goes.
    if (!MSComm1->PortOpen() || m_leaving)
        return;
    const double now = pacingClock();
    // A line error from the received data closes the port once the line in flight has left
    // (or its time on the wire has passed): the next line waits for Start.
    if (m_closeWhenSent != 0) {
        if (m_closeWait.waits(MSComm1->OutBufferCount(), now))
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
            writeToPort({.written = {.lineEnd = std::exchange(m_lineEndOwed, QString())},
                         .due = NextSendTime});
            return;
        }
        Timer1->stop();
        RichTextBox1->setLocked(false);
        RichTextBox1->setSelStart(RichTextBox1->SelLength() + RichTextBox1->SelStart());
        RichTextBox1->setSelLength(0);
        return;
    }

    // The transmit buffer is not emptied first: the line before has left the port, and on a
    // pseudo-terminal emptying it would also drop what a slow reader has not read yet.
    const qsizetype terminator = SendLine.endsWith(QLatin1String("\r\n")) ? 2 : 1;
    writeToPort({.number = m_sendLineNumber,
                 .start = RichTextBox1->SelStart(),
                 .written = {.lineEnd = std::exchange(m_lineEndOwed, QString()),
                             .text = SendLine.chopped(terminator),
                             .terminator = SendLine.right(terminator)},
                 .due = NextSendTime});
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

// A write is remembered until a close, should it cut it, and so are those before it that a
// device that went away may not have read.
void Form1::writeToPort(const LineInFlight &line)
{
    if (!m_inFlight.written.isEmpty()) {
        m_sentBefore.append({.number = m_inFlight.number,
                             .bytes = m_inFlight.written.bytes(),
                             .edition = m_inFlight.edition});
        m_sentBeforeBytes += m_sentBefore.last().bytes;
        while (m_sentBeforeBytes - m_sentBefore.first().bytes >= MSComm::unreadBound)
            m_sentBeforeBytes -= m_sentBefore.takeFirst().bytes;
    }
    m_inFlight = line;
    m_inFlight.edition = m_sendPaneEdition;
    MSComm1->setOutput(m_inFlight.written.whole());
}
