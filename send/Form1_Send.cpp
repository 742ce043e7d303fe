// Sending: the buttons, the send timer and the line transmitter.
#include "app/Form1.h"

#include "panes/RichTextBox.h"
#include "send/SendText.h"
#include "serial/Clock.h"
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
    if (NextSendTime > pacingClock())
        return;

    if (SendLine.isEmpty()) {
        Timer1->stop();
        RichTextBox1->setLocked(false);
        RichTextBox1->setSelStart(RichTextBox1->SelLength() + RichTextBox1->SelStart());
        RichTextBox1->setSelLength(0);
        return;
    }

    // The transmit buffer is not emptied first: a line still waiting in it (a slow device, a
    // short wait) would lose its unsent characters. The port hands everything over in order.
    MSComm1->setOutput(SendLine);
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

void Form1::writeTimeStamp()
{
    // Received lines completed before the stamp land before it.
    flushReceivedLines();
    appendToReceivedPane(clockDate() + QStringLiteral("\r\n") + clockTime()
                         + QStringLiteral("\r\n"));
}
