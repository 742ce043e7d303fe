// Opening and closing the port with the line settings chosen in the RS232C menu.
#include "app/Form1.h"

#include "serial/MSComm.h"
#include "serial/SerialPorts.h"
#include "settings/MenuItems.h"

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

// The menu-bar entry and the menu itself, so no item can be reached by mouse or keyboard.
void Form1::setRs232cMenuEnabled(bool enabled)
{
    mRS->menuAction()->setEnabled(enabled);
    mRS->setEnabled(enabled);
}

// Each Port item names the device its number opens now: adapters come and go while Kavrel runs.
void Form1::showPortDevices()
{
    const QList<SerialDevice> present = listSerialDevices();
    for (QAction *item : Port) {
        const QString device = portDevice(item->text().toInt(), present).description;
        item->setStatusTip(device);
        item->setToolTip(device);
    }
}

bool Form1::SetPortSettings()
{
    const QAction *port = selectedItem(Port, IniVal[0]);
    const QAction *speed = selectedItem(BPS, IniVal[1]);
    const QAction *parity = selectedItem(Parity, IniVal[2]);
    const QAction *length = selectedItem(Length, IniVal[3]);
    const QAction *stopBits = selectedItem(Bit, IniVal[4]);
    bool isNumber = false;
    const int commPort = port ? port->text().toInt(&isNumber) : 0;
    if (!isNumber || !speed || !parity || !length || !stopBits)
        return false;
    MSComm1->setCommPort(commPort);
    MSComm1->setSettings(speed->text() + parity->text() + length->text() + stopBits->text());
    return true;
}

void Form1::OpenPort()
{
    QString reason;
    if (!MSComm1->PortOpen()) {
        RcvLine.clear();
        m_limitEnded = false;
        EscFlag = False;
        showPortDevices();
        if (!SetPortSettings()) {
            reason = tr("The settings file does not name a valid port or line setting.");
        } else {
            MSComm1->setInBufferCount(0);
            if (!MSComm1->setPortOpen(true)) {
                // With no device behind the number the reason names the port itself.
                reason = MSComm1->devicePath().isEmpty()
                    ? MSComm1->errorString()
                    : tr("Port %1 (%2): %3")
                          .arg(MSComm1->CommPort())
                          .arg(MSComm1->devicePath(), MSComm1->errorString());
                if (MSComm1->permissionDenied())
                    reason += QLatin1Char('\n')
                        + tr("Serial devices belong to the dialout group: add your user to it "
                             "(sudo usermod -aG dialout $USER) and log in again.");
            }
        }
    }
    if (reason.isEmpty()) {
        Command1->setText(QStringLiteral("Send"));
        Command2->setText(QStringLiteral("Stop"));
        setRs232cMenuEnabled(false);
        return;
    }

    // A transmission that waited for this Start would otherwise keep the send pane locked for
    // as long as the device stays away.
    const bool transmissionWaits = Timer1->isActive();
    if (transmissionWaits) {
        reason += QLatin1Char('\n')
            + (SendLine.isEmpty()
                   ? tr("The transmission that waited for Start has ended; all its lines had "
                        "left.")
                   : tr("The transmission that waited for Start has ended. Line %1 of the send "
                        "pane, the first that did not leave whole, is selected.")
                         .arg(m_sendLineNumber));
    }
    showMessage(QMessageBox::Critical, QStringLiteral("Can not Open !\nPlease check Com Port !"),
                reason);
    Command1->setText(QStringLiteral("Start"));
    Command2->setText(QStringLiteral("End"));
    MSComm1->setInBufferCount(0);
    setRs232cMenuEnabled(true);
    if (transmissionWaits)
        endWaitingTransmission();
}

void Form1::ClosePort()
{
    // Lines completed before the close land before anything written after it (a footer).
    flushReceivedLines();
    m_closeWhenSent = 0;
    m_cut = {};
    // A transmission still running waits for Start; what this close cut goes again then.
    if (MSComm1->PortOpen()) {
        MSComm1->setPortOpen(false);
        noteCutLine();
    }
    Command1->setText(QStringLiteral("Start"));
    Command2->setText(QStringLiteral("End"));
    MSComm1->setInBufferCount(0);
    setRs232cMenuEnabled(true);
}
