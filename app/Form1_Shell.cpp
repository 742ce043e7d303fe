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
    const std::int16_t waitingError = std::exchange(m_closeWhenSent, 0);
    ClosePort();
    ConfirmExit();
    // ConfirmExit came back: the user answered Cancel. Keep the window and its unsaved panes,
    // as leaving by File > End does, instead of throwing the text away.
    if (!hasEnded()) {
        Cancel = True;
        reportLeavingCancelled(waitingError);
    }
}

void Form1::mEnd_Click()
{
    const std::int16_t waitingError = std::exchange(m_closeWhenSent, 0);
    ClosePort();
    ConfirmExit();
    if (!hasEnded())
        reportLeavingCancelled(waitingError);
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
