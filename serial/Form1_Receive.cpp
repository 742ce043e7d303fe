// The receive path: characters from the line become lines, batched into the received pane
// with the header and footer.
#include "app/Form1.h"

#include "panes/PaneFind.h"
#include "panes/lines/LinePane.h"
#include "panes/lines/LineStore.h"
#include "send/SendText.h"
#include "serial/Clock.h"
#include "serial/MSComm.h"

#include <QAction>
#include <QTimer>

#include <charconv>
#include <limits>
#include <utility>

namespace {

const QChar CR(13);
const QChar LF(10);
const QChar ACK(6);
const QChar ESC(27);

// The longest line the receive path holds before it completes it without a CR.
constexpr qsizetype receivedLineLimit = 65536;
// Completed lines wait in a batch and go into the pane in one edit: at most this long after
// the first of them completed, or at once when the batch holds this many characters.
constexpr int batchMilliseconds = 15;
constexpr qsizetype batchCharacters = 128 * 1024;

} // namespace

void Form1::MSComm1_OnComm()
{
    const std::int16_t event = MSComm1->CommEvent();
    if (event > 10 && event != MSComm::comEventDeviceGone) {
        // An error in the received data leaves the port able to send: the line in flight
        // leaves whole, within its time on the wire, and the send timer closes the port then.
        // Further errors meanwhile are told with it, each code once.
        if (m_closeWhenSent != 0) {
            if (event != m_closeWhenSent && !m_errorsWhileWaiting.contains(event))
                m_errorsWhileWaiting.append(event);
            return;
        }
        const int unsent = MSComm1->PortOpen() ? MSComm1->OutBufferCount() : 0;
        if (Timer1->isActive() && unsent > 0) {
            m_closeWhenSent = event;
            m_errorsWhileWaiting.clear();
            m_closeWait = lineLeaving(unsent);
            return;
        }
    }
    if (event > 10) {
        // An error that waited for the line in flight is told too, before the one that closed
        // the port, which names what the close cut.
        const std::int16_t waitingError = std::exchange(m_closeWhenSent, 0);
        ClosePort();
        if (waitingError != 0) {
            const CutLine cut = std::exchange(m_cut, {});
            reportLineError(waitingError);
            m_cut = cut;
        }
        reportLineError(event);
        return;
    }
    if (event != MSComm::comEvReceive)
        return;

    RcvChar = MSComm1->Input();
    if (EscFlag == True) {
        if (RcvChar == QLatin1String("D"))
            RcvLine += clockDate();
        else if (RcvChar == QLatin1String("T"))
            RcvLine += clockTime();
        EscFlag = False;
    } else if (RcvChar.size() != 1) {
        RcvLine += RcvChar;
    } else {
        // Read through a const string: a string over the component's own characters would
        // otherwise be copied to be writable, once for every character received.
        const QChar c = std::as_const(RcvChar).front();
        // A CR right after the limit ended a line is that line's own end: it ends nothing more.
        if (c == CR) {
            if (!std::exchange(m_limitEnded, false) || !RcvLine.isEmpty())
                completeReceivedLine();
            return;
        }
        if (c == ACK)
            RcvLine += QLatin1String("<AK>");
        else if (c == ESC)
            EscFlag = True;
        else if (c != LF) // LF is dropped
            RcvLine += c;
    }
    // A device that never sends CR would grow the line without end: at the limit it is
    // completed as a CR would complete it, and the characters after it start the next one.
    if (RcvLine.size() >= receivedLineLimit) {
        completeReceivedLine();
        m_limitEnded = true;
    }
}

void Form1::reportLineError(std::int16_t code)
{
    QString help = code == MSComm::comEventRxOver
        ? tr("Characters arrived faster than they could be taken. Press Start to open the port "
             "again.")
        : code == MSComm::comEventDeviceGone
        ? tr("The device %1 is gone or cannot be read (unplugged?). Plug it in and press Start "
             "to open the port again.")
              .arg(MSComm1->devicePath())
        : tr("The line reported an error. Press Start to open the port again.");
    const QString cut = takeCutLineNote();
    if (!cut.isEmpty())
        help += QLatin1Char('\n') + cut;
    const QString text = code == MSComm::comEventRxOver
        ? QStringLiteral("Input Buffer Overflowed !")
        : QStringLiteral("Communication Error %1 !").arg(code);
    showMessage(QMessageBox::Critical, text, help);
    // Errors that came while this one waited for the line in flight: a message each.
    for (const std::int16_t later : std::exchange(m_errorsWhileWaiting, {})) {
        if (later != code)
            reportLineError(later);
    }
}

void Form1::completeReceivedLine()
{
    // The completed line waits with the others of this chunk and goes into the pane in one
    // edit when the chunk is done: nothing runs in between, so lines keep their order.
    // Appended piece by piece, with no string built on the way: a fast device completes a
    // line every few microseconds.
    m_receivedBatch += RcvLine;
    RcvLine.truncate(0); // keeps its storage for the next line
    if (mTime->isChecked()) {
        m_receivedBatch += QLatin1Char(',');
        m_receivedBatch += clockTime();
    }
    if (mDate->isChecked()) {
        m_receivedBatch += QLatin1Char(',');
        m_receivedBatch += clockDate();
    }
    if (mSeq->isChecked()) {
        // After the largest number the count starts again at 1, never negative.
        SeqNo = SeqNo == std::numeric_limits<std::int32_t>::max() ? 1 : SeqNo + 1;
        char digits[16];
        const auto written = std::to_chars(digits, digits + sizeof digits, SeqNo);
        m_receivedBatch += QLatin1Char(',');
        m_receivedBatch += QLatin1StringView(digits, written.ptr);
    }
    m_receivedBatch += QLatin1StringView("\r\n");
}

void Form1::scheduleReceivedFlush()
{
    // A device that talks fast delivers many small chunks; the pane takes them together a
    // moment later, which costs it far less than one edit per chunk.
    if (m_receivedBatch.size() >= batchCharacters)
        flushReceivedLines();
    else if (!m_receivedBatch.isEmpty() && !m_receivedFlush.isActive())
        m_receivedFlush.start(batchMilliseconds);
}

void Form1::flushReceivedLines()
{
    m_receivedFlush.stop();
    if (m_receivedBatch.isEmpty())
        return;
    appendToReceivedPane(m_receivedBatch);
    m_receivedBatch.truncate(0);
}

void Form1::appendToReceivedPane(const QString &text)
{
    // At the very end of the pane, wherever the user left the caret or a selection; a match
    // that find selected stays selected, and in sight.
    m_find->appendReceived(text);
}

// The header and the footer: the date and the time, each on its own line, after the lines
// received so far.
void Form1::writeTimeStamp()
{
    flushReceivedLines();
    // The date on a line of its own, also after a note the user typed at the pane's end.
    const LineStore &lines = RichTextBox2->lines();
    const QString lineEnd = QStringLiteral("\r\n");
    appendToReceivedPane((lines.lineLength(lines.lineCount() - 1) > 0 ? lineEnd : QString())
                         + clockDate() + lineEnd + clockTime() + lineEnd);
}
