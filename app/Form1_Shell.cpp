// Start-up and the ways of leaving the program, with the offer to save changed panes.
#include "app/Form1.h"

#include "app/Version.h"

#include <utility>

void Form1::Form_Load()
{
    // An empty description still leaves its blank: "Kavrel  Ver.0.20". Minor and revision run
    // together, so 2 and 0 read "20".
    setWindowTitle(QString::fromUtf8(version::productName) + u' '
                   + QString::fromUtf8(version::fileDescription) + QStringLiteral(" Ver.")
                   + QString::number(version::major) + u'.' + QString::number(version::minor)
                   + QString::number(version::revision));
    LoadSettings();
}

void Form1::Form_Unload(std::int16_t &Cancel)
{
    const std::int16_t waitingError = closePortToLeave();
    if (hasEnded())
        return;
    ConfirmExit();
    // ConfirmExit came back: the user answered Cancel. Keep the window and its unsaved panes,
    // as leaving by File > End does, instead of throwing the text away.
    if (!hasEnded()) {
        Cancel = True;
        if (waitingError != 0)
            reportLineError(waitingError);
    }
}

void Form1::mEnd_Click()
{
    const std::int16_t waitingError = closePortToLeave();
    if (hasEnded())
        return;
    ConfirmExit();
    if (!hasEnded() && waitingError != 0)
        reportLineError(waitingError);
}

// File > End and closing the window: the line in flight leaves first, then the port closes, and
// a line the close cut all the same is told before Kavrel can end. Returns a line error that
// waited for the line and is not told yet: it matters only if the user stays.
std::int16_t Form1::closePortToLeave()
{
    finishLineBeforeLeaving();
    if (hasEnded())
        return 0;
    const std::int16_t waitingError = std::exchange(m_closeWhenSent, 0);
    ClosePort();
    if (!m_cut.any())
        return waitingError;
    m_cut.leaving = true;
    if (waitingError != 0) {
        reportLineError(waitingError);
        return 0;
    }
    showMessage(QMessageBox::Warning, tr("The port was closed in the middle of a line."),
                takeCutLineNote());
    return 0;
}

void Form1::ConfirmExit()
{
    for (;;) {
        if (Modified[1] != True && Modified[2] != True) {
            endProgram();
            return;
        }

        const QMessageBox::StandardButton answer = showMessage(
            QMessageBox::Question, QStringLiteral("Will you save this data?"), QString(),
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
        if (answer == QMessageBox::No) {
            endProgram();
            return;
        }
        if (answer != QMessageBox::Yes)
            return;

        // A save that did not write its file leaves its flag set, so the question comes again.
        if (Modified[1] == True)
            S_Send_Click();
        if (Modified[2] == True)
            S_Received_Click();
    }
}
