// The File menu's work on the panes, and the panes' change flags.
#include "app/Form1.h"

#include "panes/CommonDialog.h"
#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"

#include <QDir>
#include <QPrinter>
#include <QTextDocument>

namespace {

constexpr int fileFlags = CommonDialog::cdlOFNOverwritePrompt | CommonDialog::cdlOFNHideReadOnly;
constexpr int printFlags = CommonDialog::cdlPDNoPageNums | CommonDialog::cdlPDReturnDC;

// A file or printer that failed is worth telling: the user would otherwise believe the
// data was written. A cancelled dialog never gets here.
void reportFailure(Form1 &window, const QString &text, const QString &target, const QString &reason)
{
    window.showMessage(QMessageBox::Critical, text, QStringLiteral("%1\n\n%2").arg(target, reason));
}

bool askToClear(Form1 &window)
{
    return window.showMessage(QMessageBox::Warning, QStringLiteral("Will you clear this data?"),
                              QString(), QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

// True only when the file was written. Either pane: both offer SaveFile and SelPrint.
template<typename Pane>
bool savePane(Form1 &window, CommonDialog *dialog, Pane *pane, const QString &proposedName)
{
    dialog->setFlags(fileFlags);
    dialog->setFileName(proposedName);
    if (!dialog->ShowSave())
        return false;
    const QString path = dialog->FileName();
    if (pane->SaveFile(path, 1))
        return true;
    reportFailure(window, QStringLiteral("Can not save the data !"), QDir::toNativeSeparators(path),
                  pane->errorString());
    return false;
}

template<typename Pane> void printPane(Form1 &window, CommonDialog *dialog, Pane *pane)
{
    dialog->setFlags(printFlags);
    if (!dialog->ShowPrinter())
        return;
    QPrinter *printer = dialog->Printer();
    window.setCursor(Qt::WaitCursor);
    const bool printed = pane->SelPrint(printer);
    window.unsetCursor();
    if (printed)
        return;
    const QString target = printer->outputFileName().isEmpty()
        ? printer->printerName()
        : QDir::toNativeSeparators(printer->outputFileName());
    reportFailure(window, QStringLiteral("Can not print the data !"), target, pane->errorString());
}

} // namespace

void Form1::mOpen_Click()
{
    // The lines being sent are read from the send pane as they go: it is not replaced under
    // them, also not by a transmission started while the dialog was open.
    if (RichTextBox1->Locked())
        return;
    CommonDialog1->setFlags(fileFlags);
    if (!CommonDialog1->ShowOpen() || RichTextBox1->Locked())
        return;
    // The load raises the pane's change event, so a freshly loaded pane counts as changed.
    const QString path = CommonDialog1->FileName();
    setCursor(Qt::WaitCursor);
    m_sendReplacing = true;
    const bool loaded = RichTextBox1->LoadFile(path, 1);
    m_sendReplacing = false;
    unsetCursor();
    // The pane's recovery data starts again from the file's text.
    if (loaded)
        restartSendRecovery();
    else
        reportFailure(*this, QStringLiteral("Can not open the file !"),
                      QDir::toNativeSeparators(path), RichTextBox1->errorString());
}

void Form1::N_Send_Click()
{
    if (RichTextBox1->Locked() || RichTextBox1->textLength() == 0 || !askToClear(*this)
        || RichTextBox1->Locked())
        return;
    m_sendReplacing = true;
    RichTextBox1->setText(QString());
    m_sendReplacing = false;
    restartSendRecovery();
    // Clearing raised the change event; an emptied pane holds nothing left to save.
    Modified[1] = False;
}

void Form1::N_Received_Click()
{
    flushReceivedLines();
    // The question is about what the pane holds now. Lines keep arriving while it is open;
    // Yes removes only what was asked about, and the lines that came meanwhile stay.
    // Counted in 64 bits: the int properties stop at 2^31 - 1, the pane does not.
    const qint64 asked = RichTextBox2->textLength();
    if (asked == 0 || !askToClear(*this))
        return;
    flushReceivedLines();
    RichTextBox2->select(0, asked);
    RichTextBox2->replaceSelection(QString());
    restartReceivedRecovery();
    // Lines that came while the question was open have not been saved.
    Modified[2] = RichTextBox2->textLength() == 0 ? False : True;
    SeqNo = 0;
}

void Form1::S_Send_Click()
{
    if (savePane(*this, CommonDialog1, RichTextBox1, QStringLiteral("Send Data")))
        Modified[1] = False;
}

void Form1::S_Received_Click()
{
    flushReceivedLines();
    if (savePane(*this, CommonDialog1, RichTextBox2, QStringLiteral("Received Data")))
        Modified[2] = False;
}

void Form1::P_Send_Click()
{
    printPane(*this, CommonDialog1, RichTextBox1);
}

void Form1::P_Received_Click()
{
    flushReceivedLines();
    printPane(*this, CommonDialog1, RichTextBox2);
}

void Form1::RichTextBox1_Change()
{
    Modified[1] = True;
    // Lines already sent no longer count in this text.
    ++m_sendPaneEdition;
}

void Form1::RichTextBox2_Change()
{
    Modified[2] = True;
}
