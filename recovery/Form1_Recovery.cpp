// The panes' recovery files: written while the window lives, removed on the exit path, kept
// when a signal ends the program, and offered back at the next start.
#include "app/Form1.h"

#include "panes/lines/LinePane.h"
#include "recovery/RecoveryOrphan.h"
#include "recovery/RecoverySet.h"
#include "panes/RichTextBox.h"

#include <QApplication>
#include <QDir>
#include <QLocale>
#include <QMenuBar>
#include <QPushButton>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>

#include <algorithm>
#include <utility>

namespace {

// Lines as the user counts them: a text ending in a line break has no further line.
qint64 shownLines(const LineStore &store)
{
    if (store.isEmpty())
        return 0;
    return store.lineCount() - (store.lineLength(store.lineCount() - 1) == 0 ? 1 : 0);
}

QString linesOf(qint64 count, const QString &pane)
{
    return count == 1 ? QStringLiteral("1 line of %1").arg(pane)
                      : QStringLiteral("%1 lines of %2").arg(count).arg(pane);
}

} // namespace

void Form1::startRecovery()
{
    m_recovery = std::make_unique<RecoverySet>();
    // Queued: a failure may come from the writer, or from start() while the window is still
    // being built, and the message waits for the event loop either way.
    connect(m_recovery.get(), &RecoverySet::failed, this, &Form1::showRecoveryFailure,
            Qt::QueuedConnection);
    connect(m_recovery.get(), &RecoverySet::writableAgain, this, [this] {
        restartReceivedRecovery();
        restartSendRecovery();
    });
    connect(RichTextBox2, &LinePane::edited, this,
            [this](qint64 from, qint64 to, const QString &text) {
                if (m_recovery)
                    m_recovery->receivedEdited(from, to, text);
            });
    connect(RichTextBox1->document(), &QTextDocument::contentsChange, this,
            &Form1::sendPaneChanged);
    m_recovery->start();
}

void Form1::afterFirstShow()
{
    if (m_ended)
        return;
    offerRecovery();
    if (!m_pendingFailureFolder.isNull()) {
        showRecoveryFailure(std::exchange(m_pendingFailureFolder, QString()),
                            std::exchange(m_pendingFailureReason, QString()));
    }
}

void Form1::offerRecovery()
{
    m_orphan = RecoveryOrphan::claimNewest(RecoverySet::folder());
    if (!m_orphan)
        return;
    // Read on a thread of its own, so a set of a million lines does not freeze the window.
    // Meanwhile the window shows a busy pointer and takes no input: nothing can start to
    // send from a pane about to be replaced.
    setCursor(Qt::BusyCursor);
    centralWidget()->setEnabled(false);
    menuBar()->setEnabled(false);
    auto contents = std::make_shared<RecoveryOrphan::Contents>();
    m_orphanReader.reset(QThread::create(
        [orphan = m_orphan.get(), contents] { *contents = orphan->read(); }));
    connect(m_orphanReader.get(), &QThread::finished, this, [this, contents] {
        m_orphanReader->wait();
        m_orphanReader.reset();
        unsetCursor();
        centralWidget()->setEnabled(true);
        menuBar()->setEnabled(true);
        if (!QApplication::focusWidget())
            Command1->setFocus(Qt::OtherFocusReason);
        answerRecoveryOffer(std::move(contents->received), std::move(contents->send));
    });
    m_orphanReader->start();
}

void Form1::answerRecoveryOffer(LineStore received, QString send)
{
    LineStore sendLines;
    sendLines.append(send);
    if (m_ended || (received.isEmpty() && sendLines.isEmpty())) {
        m_orphan.reset();
        return;
    }
    const QString when = QLocale().toString(m_orphan->lastWritten(), QLocale::LongFormat);
    const QMessageBox::StandardButton answer = showMessage(
        QMessageBox::Question,
        QStringLiteral("Kavrel ended unexpectedly. Restore the data it held?"),
        tr("It ended on %1.\nIt held %2 and %3.")
            .arg(when, linesOf(shownLines(received), QStringLiteral("received data")),
                 linesOf(shownLines(sendLines), QStringLiteral("send data"))),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    // A signal that ended the program while the question was open is no answer: the set stays.
    if (m_ended || (answer != QMessageBox::Yes && answer != QMessageBox::No)) {
        m_orphan.reset();
        return;
    }
    if (answer == QMessageBox::Yes) {
        // Restored text first, then anything the panes took while the question was open.
        if (!received.isEmpty()) {
            flushReceivedLines();
            if (!RichTextBox2->isEmpty()) {
                if (received.lineLength(received.lineCount() - 1) != 0)
                    received.append(u"\r\n");
                received.append(RichTextBox2->lines().text());
            }
            RichTextBox2->setStore(std::move(received));
            Modified[2] = True;
        }
        if (!send.isEmpty() && !RichTextBox1->Locked()) {
            if (RichTextBox1->textLength() != 0)
                send += u'\n' + RichTextBox1->document()->toRawText();
            m_sendReplacing = true;
            RichTextBox1->setText(send);
            m_sendReplacing = false;
            Modified[1] = True;
        }
        restartReceivedRecovery();
        restartSendRecovery();
    }
    m_orphan->discard();
    m_orphan.reset();
}

void Form1::restartReceivedRecovery()
{
    if (m_recovery)
        m_recovery->restartReceived(RichTextBox2->lines());
}

void Form1::restartSendRecovery()
{
    const QTextDocument *document = RichTextBox1->document();
    m_sendLength = document->characterCount() - 1;
    if (m_recovery)
        m_recovery->restartSend(document->toRawText());
}

void Form1::sendPaneChanged(int position, int removed, int added)
{
    if (m_sendReplacing || !m_recovery)
        return;
    const QTextDocument *document = RichTextBox1->document();
    const qint64 length = document->characterCount() - 1;
    // The document may count its final paragraph end in a change that covered the whole
    // text; what was removed is whatever the added text and the new length do not explain.
    const qint64 shownAdded = std::clamp<qint64>(length - position, 0, added);
    const qint64 shownRemoved = m_sendLength + shownAdded - length;
    if (position < 0 || shownRemoved < 0 || position + shownRemoved > m_sendLength
        || shownRemoved > removed) {
        restartSendRecovery();
        return;
    }
    QTextCursor cursor(RichTextBox1->document());
    cursor.setPosition(position);
    cursor.setPosition(int(position + shownAdded), QTextCursor::KeepAnchor);
    m_recovery->sendEdited(position, int(shownRemoved), cursor.selectedText());
    m_sendLength = length;
}

void Form1::showRecoveryFailure(const QString &folder, const QString &reason)
{
    if (m_ended)
        return;
    if (!m_activatedOnce) {
        m_pendingFailureFolder = folder;
        m_pendingFailureReason = reason;
        return;
    }
    showMessage(QMessageBox::Warning, QStringLiteral("The data is not being kept safe."),
                tr("Kavrel can not write its recovery files in %1:\n%2\n\nIf Kavrel stops "
                   "unexpectedly, the received and send data since the last save are lost. "
                   "Receiving and sending carry on; Kavrel keeps trying and starts keeping the "
                   "data safe again as soon as it can.")
                    .arg(QDir::toNativeSeparators(folder), reason));
}

void Form1::endRecovery()
{
    if (m_orphanReader)
        m_orphanReader->wait();
    if (m_recovery) {
        if (!m_recoveryKept)
            m_recovery->discard();
        m_recovery.reset();
    }
}

void Form1::endBySignal(int signalNumber)
{
    if (!m_ended) {
        // Lines already received belong in what the next start offers.
        flushReceivedLines();
        m_ended = true;
        Timer1->stop();
        hide();
    }
    if (m_recovery) {
        m_recovery->syncNow();
        m_recoveryKept = true;
    }
    QCoreApplication::exit(128 + signalNumber);
}
