// What a close does to the line in flight: the lines it cut or may have lost, the line end the
// device is owed, and leaving only once the line has left.
#include "app/Form1.h"

#include "panes/RichTextBox.h"
#include "send/SendText.h"
#include "serial/MSComm.h"

#include <QAction>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>

#include <utility>

namespace {

// What a line in flight is given beyond its time on the wire before a close goes ahead without
// it: a busy machine, or a driver slow to report its queue empty.
constexpr double marginSeconds = 2.0;
// Something leaves at least once per this much on the wire, or the device stopped reading: a
// USB adapter takes bytes in packets as its own buffer drains.
constexpr qint64 burstBytes = 1024;

} // namespace

LineLeaving Form1::lineLeaving(int unsent) const
{
    const double now = pacingClock();
    return {.deadline = now + MSComm1->secondsOnWire(unsent) + marginSeconds,
            .stall = MSComm1->secondsOnWire(burstBytes) + marginSeconds,
            .lastMove = now,
            .unsent = unsent};
}

// ClosePort closed the port, and the write in flight may have lost its end. The device is owed
// a line end before the next write, so it never reads two lines as one; a line of which not
// all the text left goes again, whole, if its transmission goes on after Start. A device that
// went away may not have read what its driver took: those lines are named, and a whole line end
// is owed, since it may hold part of any of them.
void Form1::noteCutLine()
{
    const LineInFlight line = std::exchange(m_inFlight, {});
    QList<SentWrite> writes = std::exchange(m_sentBefore, {});
    m_sentBeforeBytes = 0;
    const int dropped = MSComm1->droppedOutput();
    const int unsure = MSComm1->outputMaybeUnread();
    if ((dropped <= 0 && unsure <= 0) || line.written.isEmpty())
        return;
    const LineCut cut = cutLine(line.written, dropped);
    const bool again = line.number != 0 && !cut.textWhole && line.resumes && Timer1->isActive();
    // A line numbered in a text the send pane no longer holds is not named by its number.
    const bool current = line.edition == m_sendPaneEdition;
    UnreadLines unread;
    m_lineEndOwed = cut.lineEndOwed;
    if (unsure > 0) {
        writes.append(
            {.number = line.number, .bytes = line.written.bytes(), .edition = line.edition});
        unread = linesMaybeUnread(writes, dropped, unsure, m_sendPaneEdition);
        // Named as cut, or sent again whole, or none of its text left.
        if (!cut.textWhole && current)
            unread.lines.removeAll(line.number);
        m_lineEndOwed = !line.written.terminator.isEmpty() ? line.written.terminator
            : Term[0]->isChecked()                         ? QStringLiteral("\r\n")
                                                           : QStringLiteral("\r");
    }
    const bool cutHere = line.number != 0 && cut.textBegun && !(unsure > 0 && cut.textWhole);
    const bool named = cutHere && current;
    unread.ofEarlierText = unread.ofEarlierText || (cutHere && !current);
    if (named || !unread.lines.isEmpty() || unread.ofEarlierText) {
        m_cut = {.number = named ? line.number : 0,
                 .left = cut.charactersLeft,
                 .length = characterCount(line.written.text),
                 .resent = again ? line.number : 0,
                 .unread = unread.lines,
                 .unreadEarlier = unread.ofEarlierText,
                 .unsure = unsure > 0};
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
    const bool whole = cut.number != 0 && cut.left == cut.length;
    // Leaving with nothing to save: no question follows, and Kavrel ends.
    const bool ending = cut.leaving && Modified[1] != True && Modified[2] != True;
    if (whole && ending) {
        return tr("Line %1 of the send pane had left but for the rest of its line end; Kavrel "
                  "ends without it.")
            .arg(cut.number);
    }
    QStringList note;
    if (whole) {
        note << tr("Line %1 of the send pane had left but for the rest of its line end, which "
                   "goes before the next line sent; the line is not sent again.")
                    .arg(cut.number);
    } else if (cut.number != 0) {
        note << (cut.unsure ? tr("Line %1 of the send pane was cut: at most %2 of its %3 "
                                 "characters reached the device.")
                            : tr("Line %1 of the send pane was cut: %2 of its %3 characters had "
                                 "left."))
                    .arg(cut.number)
                    .arg(cut.left)
                    .arg(cut.length);
    }
    if (!cut.unread.isEmpty() || cut.unreadEarlier) {
        const QString numbered = cut.unread.size() == 1
            ? tr("Line %1 of the send pane").arg(lineRuns(cut.unread))
            : tr("Lines %1 of the send pane").arg(lineRuns(cut.unread));
        const QString lines = cut.unread.isEmpty()
            ? tr("Lines sent before the send pane was changed")
            : cut.unreadEarlier ? tr("%1, and lines sent before it was changed,").arg(numbered)
                                : numbered;
        note << tr("%1 may not have reached the device whole: it went away without telling how "
                   "much it had read.")
                    .arg(lines);
    }
    if (note.isEmpty())
        return QString();
    if (ending) {
        note << tr("Kavrel ends: the device keeps that part without a line end.");
        return note.join(u' ');
    }
    const QString them = cut.unread.isEmpty() && !cut.unreadEarlier ? tr("that part")
                                                                    : tr("what it holds of them");
    if (!whole && cut.resent == 0) {
        note << tr("A line end goes before the next line sent, so the device can drop %1.")
                    .arg(them);
    } else if (!whole && cut.unread.isEmpty()) {
        note << tr("After Start a line end goes first, so the device can drop that part, and "
                   "then the whole line.");
    } else if (!whole) {
        note << tr("After Start a line end goes first, so the device can drop %1, and then line "
                   "%2 whole.")
                    .arg(them)
                    .arg(cut.resent);
    }
    if (cut.leaving) {
        note << (whole ? tr("If Kavrel ends now, the device keeps the line without the rest of "
                            "its line end.")
                       : tr("If Kavrel ends now, the device keeps that part without a line "
                            "end."));
    }
    return note.join(u' ');
}

// Leaving while a line leaves: it goes out whole first, and so does a line end a cut left owing,
// so the device is not left holding part of a line that the next line sent to it, in this run or
// another, would run on from. Bounded as a line error waits for the line in flight; the window
// answers meanwhile, and Stop or closing the window again cuts the wait short.
void Form1::finishLineBeforeLeaving()
{
    if (!MSComm1->PortOpen())
        return;
    m_leaving = true;
    m_leaveNow = false;
    if (!m_lineEndOwed.isEmpty() && MSComm1->OutBufferCount() == 0)
        writeToPort({.written = {.lineEnd = std::exchange(m_lineEndOwed, QString())}});
    const int unsent = MSComm1->OutBufferCount();
    if (unsent > 0) {
        LineLeaving wait = lineLeaving(unsent);
        QEventLoop loop;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &loop, [this, &wait, &loop] {
            if (m_leaveNow || m_ended || !MSComm1->PortOpen()
                || !wait.waits(MSComm1->OutBufferCount(), pacingClock()))
                loop.quit();
        });
        poll.start(Timer1->interval());
        Command1->setEnabled(false);
        menuBar()->setEnabled(false);
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
        loop.exec();
        QGuiApplication::restoreOverrideCursor();
        menuBar()->setEnabled(true);
        Command1->setEnabled(true);
    }
    m_leaving = false;
}

// A Start that failed ends the transmission that waited for it: the pane is the user's again,
// with the first line that did not leave whole selected (the prepared line, or the cut one).
void Form1::endWaitingTransmission()
{
    Timer1->stop();
    m_inFlight = {};
    m_sentBefore.clear();
    m_sentBeforeBytes = 0;
    m_cut = {};
    RichTextBox1->setLocked(false);
    if (SendLine.isEmpty()) {
        RichTextBox1->setSelStart(RichTextBox1->SelLength() + RichTextBox1->SelStart());
        RichTextBox1->setSelLength(0);
    }
    RichTextBox1->SetFocus();
}
