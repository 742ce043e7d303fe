// The panes' recovery files: written while the window lives, removed on the exit path, kept
// when a signal ends the program, and offered back at the next start.
#include "app/Form1.h"

#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"
#include "recovery/RecoveryOrphan.h"
#include "recovery/RecoverySet.h"

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

// What of a pane's file could not be given back, in the user's words; empty when nothing.
QString lossOf(const RecoveryOrphan::Pane &file, const QString &pane)
{
    if (file.unreadable || file.failed)
        return QStringLiteral("\nThe %1 could not be read and is left out.").arg(pane);
    if (file.unreadBytes == 1)
        return QStringLiteral("\nThe last byte of the %1 could not be read and is left out.")
            .arg(pane);
    if (file.unreadBytes > 0) {
        return QStringLiteral("\nThe last %1 of the %2 could not be read and are left out.")
            .arg(QLocale().formattedDataSize(file.unreadBytes, 0,
                                             QLocale::DataSizeTraditionalFormat),
                 pane);
    }
    return QString();
}

void showRecoveryBusy(Form1 &form, bool busy)
{
    if (busy == !form.centralWidget()->isEnabled())
        return;
    if (busy)
        form.setCursor(Qt::BusyCursor);
    else
        form.unsetCursor();
    form.centralWidget()->setEnabled(!busy);
    form.menuBar()->setEnabled(!busy);
    if (!busy && !QApplication::focusWidget())
        form.Command1->setFocus(Qt::OtherFocusReason);
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
        if (m_orphan && m_orphanRestored)
            m_recovery->askSynced();
    });
    // What Yes restored is safe in this window's own set: only now may the old set go.
    connect(m_recovery.get(), &RecoverySet::synced, this, [this] {
        if (m_orphan && m_orphanRestored) {
            m_orphan->discard();
            m_orphan.reset();
            m_orphanRestored = false;
        }
    });
    connect(m_recovery.get(), &RecoverySet::rewriteDue, this, [this](RecoveryPane pane) {
        if (pane == RecoveryPane::Received)
            restartReceivedRecovery();
        else
            restartSendRecovery();
    });
    connect(RichTextBox2, &LinePane::edited, this,
            [this](qint64 from, qint64 to, const QString &text) {
                if (m_recovery)
                    m_recovery->receivedEdited(from, to, text, RichTextBox2->lines().size());
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
    // Listed, claimed and read on a thread of its own: a set of a million lines, a slow disk or
    // anything planted in the folder cannot freeze the window. While a set found is read, the
    // window shows a busy pointer and takes no input: nothing can start to send from a pane
    // about to be replaced.
    auto found = std::make_shared<std::unique_ptr<RecoveryOrphan>>();
    m_orphanReader.reset(QThread::create([this, found, folder = RecoverySet::folder()] {
        *found = RecoveryOrphan::claimNewest(
            folder, [] { return QThread::currentThread()->isInterruptionRequested(); },
            [this] {
                QMetaObject::invokeMethod(
                    this, [this] { showRecoveryBusy(*this, true); }, Qt::QueuedConnection);
            });
    }));
    connect(m_orphanReader.get(), &QThread::finished, this, [this, found] {
        m_orphanReader->wait();
        m_orphanReader.reset();
        showRecoveryBusy(*this, false);
        m_orphan = std::move(*found);
        if (m_orphan)
            answerRecoveryOffer();
    });
    m_orphanReader->start();
}

void Form1::answerRecoveryOffer()
{
    if (m_ended) {
        m_orphan.reset();
        return;
    }
    RecoveryOrphan::Contents contents = m_orphan->takeContents();
    LineStore &received = contents.received;
    QString &send = contents.send;
    LineStore sendLines;
    sendLines.append(send);
    const QString when = QLocale().toString(m_orphan->lastWritten(), QLocale::LongFormat);
    const QString receivedName = QStringLiteral("received data");
    const QString sendName = QStringLiteral("send data");
    const QMessageBox::StandardButton answer = showMessage(
        QMessageBox::Question,
        QStringLiteral("Kavrel ended unexpectedly. Restore the data it held?"),
        tr("It ended on %1.\nIt held %2 and %3.%4%5")
            .arg(when, linesOf(shownLines(received), receivedName),
                 linesOf(shownLines(sendLines), sendName),
                 lossOf(contents.receivedFile, receivedName), lossOf(contents.sendFile, sendName)),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    // A signal that ended the program while the question was open is no answer: the set stays.
    if (m_ended || !m_orphan || (answer != QMessageBox::Yes && answer != QMessageBox::No)) {
        m_orphan.reset();
        return;
    }
    if (answer == QMessageBox::No) {
        m_orphan->discard();
        m_orphan.reset();
        return;
    }
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
    // A send pane being sent cannot take the text: the old set then stays for the next start.
    const bool sendKept = !send.isEmpty() && RichTextBox1->Locked();
    if (!send.isEmpty() && !sendKept) {
        if (RichTextBox1->textLength() != 0)
            send += u'\n' + RichTextBox1->document()->toRawText();
        m_sendReplacing = true;
        RichTextBox1->setText(send);
        m_sendReplacing = false;
        Modified[1] = True;
    }
    restartReceivedRecovery();
    restartSendRecovery();
    if (sendKept) {
        m_orphan.reset();
        return;
    }
    // The old set goes once the restored text is synced in this window's own (synced): a kill
    // or a power cut before that leaves the old set to offer it again.
    m_orphanRestored = true;
    m_recovery->askSynced();
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
                tr("Kavrel can not keep its recovery files in %1:\n%2\n\nIf Kavrel stops "
                   "unexpectedly, the received and send data since the last save are lost. "
                   "Receiving and sending carry on; Kavrel keeps trying and starts keeping the "
                   "data safe again as soon as it can.")
                    .arg(QDir::toNativeSeparators(folder), reason));
}

void Form1::endRecovery()
{
    if (m_orphanReader) {
        m_orphanReader->requestInterruption();
        m_orphanReader->wait();
    }
    // The exit path asked to save what Yes restored: the old set goes with the window's own.
    if (m_orphan && m_orphanRestored && !m_recoveryKept)
        m_orphan->discard();
    m_orphan.reset();
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
        m_recovery->keep();
        m_recoveryKept = true;
    }
    QCoreApplication::exit(128 + signalNumber);
}
