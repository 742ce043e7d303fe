// Sending: the buttons, the send timer and the line transmitter.
#include "app/Form1.h"

#include "panes/RichTextBox.h"
#include "send/SendText.h"
#include "serial/MSComm.h"
#include "settings/MenuItems.h"

#include <QAction>
#include <QPushButton>
#include <QTimer>

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

    Timer1->stop();
    RichTextBox1->setLocked(false);
    ClosePort();
    if (mFooter->isChecked())
        writeTimeStamp();
}

void Form1::Timer1_Timer()
{
    // Closed by the receive path or by File > End: the transmission waits for Start.
    if (!MSComm1->PortOpen())
        return;
    const double now = pacingClock();
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

    pane->SetFocus();
    SendLine = pane->SelText() + QLatin1Char('\r');
    if (Term[0]->isChecked())
        SendLine += QLatin1Char('\n');

    // The Wait menu is read for every line, so a new choice applies from the next line on.
    if (const QAction *wait = selectedItem(Wait, IniVal[11]))
        NextSendTime += C_Val(wait->text());
}
