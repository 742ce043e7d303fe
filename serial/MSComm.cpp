// The serial port component over QSerialPort: a port opened by number with the device behind
// it, settings strings, and output. Receiving is in MSCommReceive.cpp.
#include "serial/MSComm.h"

#include "serial/LineSettings.h"
#include "serial/LinuxTty.h"
#include "serial/SerialPorts.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// QSerialPort's own receive buffer; beyond it the kernel holds the bytes (and a real UART
// overruns, which is reported) instead of memory filling up.
constexpr qint64 readBufferBytes = 1024 * 1024;

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

MSComm::MSComm(QObject *parent) : QObject(parent)
{
    m_bytes.resize(sliceBytes);
    connect(&m_port, &QSerialPort::readyRead, this, &MSComm::deliverReceived);
    connect(&m_port, &QSerialPort::errorOccurred, this, &MSComm::onErrorOccurred);
}

MSComm::~MSComm()
{
    closePort();
}

bool MSComm::PortOpen() const
{
    return m_open;
}

bool MSComm::setPortOpen(bool open)
{
    if (!open) {
        closePort();
        return true;
    }
    if (m_open)
        return true;

    m_errorString.clear();
    m_permissionDenied = false;
    m_portBusy = false;
    if (m_commPort < 1) {
        m_devicePath.clear();
        return fail(tr("There is no port %1.").arg(m_commPort));
    }
    const QList<SerialDevice> present = listSerialDevices();
    PortDevice device = portDevice(m_commPort, present);
    if (m_commPort == m_lostPort && !device.configured) {
        const DeviceSearch search = findDevice(m_lost.identity, present);
        if (!search.found) {
            m_devicePath = m_lost.path;
            return fail(lostDeviceReason(search.alike));
        }
        device = portDevice(*search.found);
    }
    m_devicePath = device.path;
    if (m_devicePath.isEmpty()) {
        return fail(tr("No serial device is present for port %1. Plug the adapter in, or name "
                       "the device in KAVREL_COM%1 (for example KAVREL_COM%1=/dev/ttyUSB0).")
                        .arg(m_commPort));
    }

    QString why;
    const std::optional<LineSettings> line = parseLineSettings(m_settings, &why);
    if (!line)
        return fail(why);

    // Opened by its real name, so the lock file QSerialPort names after it is the same whatever
    // link leads to the device; and looked at first, so a device another program holds is
    // refused before its line settings change.
    const QString realPath = QFileInfo(m_devicePath).canonicalFilePath();
    const tty::DeviceLook look(realPath.isEmpty() ? m_devicePath : realPath);
    if (const std::optional<tty::DeviceHolder> &holder = look.holder()) {
        m_portBusy = true;
        return fail(tr("The port is busy: it is already open in Kavrel or another program (%1, "
                       "process %2).")
                        .arg(holder->program)
                        .arg(holder->pid));
    }
    if (look.busy()) {
        m_portBusy = true;
        return fail(tr("The port is busy: it is already open in Kavrel or another program."));
    }
    // Everything is set before open(): a pseudo-terminal refuses parity and 7 data bits
    // once open, and a real port should start with the right framing.
    m_port.setPortName(realPath.isEmpty() ? m_devicePath : realPath);
    m_port.setBaudRate(line->baud);
    m_port.setDataBits(line->dataBits);
    m_port.setParity(line->parity);
    m_port.setStopBits(line->stopBits);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    m_port.setReadBufferSize(readBufferBytes);
    if (!m_port.open(QIODevice::ReadWrite)) {
        classifyOpenFailure();
        return false;
    }
    // Other terminal programs take this lock too; it also holds where the lock file of the
    // first opener has gone stale.
    if (!tty::lockExclusively(int(m_port.handle()))) {
        m_port.close();
        m_portBusy = true;
        return fail(tr("The port is busy: it is already open in Kavrel or another program."));
    }
    if (!checkAppliedSettings(*line)) {
        m_port.clear(QSerialPort::Output);
        m_port.close();
        return false;
    }

    dropInput();
    m_deviceGone = false;
    m_goneReportPending = false;
    m_droppedOutput = 0;
    m_maybeUnread = 0;
    m_written = 0;
    m_confirmed = 0;
    m_pseudoTerminal = tty::isPseudoTerminal(int(m_port.handle()));
    ++m_openGeneration;
    m_open = true;
    m_opened = device;
    m_openedPort = m_commPort;
    if (m_lostPort == m_commPort)
        forgetLostDevice();
    m_counters = tty::lineErrorCounts(int(m_port.handle()));
    return true;
}

void MSComm::closePort()
{
    if (!m_open)
        return;
    m_open = false;
    ++m_openGeneration;
    if (m_port.isOpen()) {
        // Output not yet sent is dropped: Stop stops the line at once, and a real UART's
        // close would otherwise wait for the kernel to drain it. A pseudo-terminal's close
        // does not wait, and what its kernel took counts as sent: it stays for the other end.
        // With nothing queued nothing is flushed, which would empty a UART's FIFO too.
        m_droppedOutput = OutBufferCount();
        m_maybeUnread = 0;
        if (m_droppedOutput > 0 && !m_pseudoTerminal)
            m_port.clear(QSerialPort::Output);
        m_port.close();
    }
    dropInput();
    m_deviceGone = false;
    m_goneReportPending = false;
}

bool MSComm::fail(const QString &reason)
{
    m_errorString = reason;
    return false;
}

void MSComm::classifyOpenFailure()
{
    const QString reason = m_port.errorString();
    m_errorString = reason;
    if (m_port.error() != QSerialPort::PermissionError)
        return;
    if (reason == systemReason(EACCES) || reason == systemReason(EPERM)) {
        m_permissionDenied = true;
        return;
    }
    // The lock file of another opener, or the device's own exclusive mode.
    m_portBusy = true;
    m_errorString
        = tr("The port is busy: it is already open in Kavrel or another program (%1).").arg(reason);
}

bool MSComm::checkAppliedSettings(const LineSettings &line)
{
    // A driver that cannot do what was asked sets what it can instead: read back what the
    // port really runs at.
    const std::optional<tty::AppliedLine> applied = tty::appliedLine(int(m_port.handle()));
    if (!applied)
        return true;
    if (qAbs(applied->baud - line.baud) * 100 > qint64(line.baud) * 2) {
        return fail(tr("The port cannot run at %1 baud (it offers %2 baud).")
                        .arg(line.baud)
                        .arg(applied->baud));
    }
    if (tty::isPseudoTerminal(int(m_port.handle())))
        return true;
    if (applied->dataBits != int(line.dataBits))
        return fail(tr("The port cannot use %1 data bits.").arg(int(line.dataBits)));
    if (applied->parity != (line.parity != QSerialPort::NoParity))
        return fail(tr("The port cannot use this parity."));
    if (applied->twoStopBits != (line.stopBits == QSerialPort::TwoStop))
        return fail(tr("The port cannot use these stop bits."));
    return true;
}

void MSComm::setCommPort(int port)
{
    m_commPort = port;
}

void MSComm::setSettings(const QString &settings)
{
    m_settings = settings;
}

int MSComm::InBufferCount() const
{
    qint64 count = (m_currentRead ? 0 : 1) + (m_received.size() - m_next) + m_goneText.size();
    if (m_port.isOpen())
        count += m_port.bytesAvailable(); // not decoded yet: one byte, one character
    return int(qMin<qint64>(count, INT_MAX));
}

void MSComm::setInBufferCount(int count)
{
    if (count != 0)
        return;
    dropInput();
    if (m_port.isOpen())
        m_port.clear(QSerialPort::Input);
}

int MSComm::OutBufferCount() const
{
    if (!m_port.isOpen())
        return 0;
    const qint64 buffered = m_port.bytesToWrite();
    const std::optional<int> queued = tty::queuedForWire(int(m_port.handle()));
    // What the driver no longer holds is on the wire; a pseudo-terminal's 0 says nothing of what
    // its other end has read.
    if (queued && !m_pseudoTerminal)
        m_confirmed = std::max(m_confirmed, m_written - buffered - *queued);
    return int(qMin<qint64>(buffered + queued.value_or(0), INT_MAX));
}

void MSComm::setOutBufferCount(int count)
{
    if (count != 0 || !m_port.isOpen())
        return;
    // What is dropped here was never the device's to read.
    m_written -= OutBufferCount();
    m_port.clear(QSerialPort::Output);
}

void MSComm::setOutput(const QString &text)
{
    // QSerialPort keeps what the device has not taken yet and hands it over as it can.
    if (m_port.isOpen())
        m_written += std::max<qint64>(m_port.write(text.toUtf8()), 0);
}

double MSComm::secondsOnWire(qint64 bytes) const
{
    QString why;
    const std::optional<LineSettings> line = parseLineSettings(m_settings, &why);
    if (!line || line->baud <= 0)
        return 0.0;
    // 1.5 stop bits take the time of 2 here: a bound, not a schedule.
    const int bits = 1 + int(line->dataBits) + (line->parity == QSerialPort::NoParity ? 0 : 1)
        + (line->stopBits == QSerialPort::OneStop ? 1 : 2);
    return double(bytes) * bits / line->baud;
}

QString MSComm::lostDeviceReason(const QList<SerialDevice> &alike) const
{
    const QString lost = m_lost.identity.usbPort.isEmpty()
        ? m_lost.description
        : tr("%1, USB port %2").arg(m_lost.description, m_lost.identity.usbPort);
    if (alike.isEmpty()) {
        return tr("The device port %1 had, %2, went away and has not come back. Plug it in, or "
                  "choose port %1 again in the RS232C menu to use the device that has its number "
                  "now.")
            .arg(m_commPort)
            .arg(lost);
    }
    QStringList names;
    for (const SerialDevice &device : alike)
        names << device.descriptionWithPlace();
    return tr("The device port %1 had, %2, went away. It cannot be told apart from these devices "
              "present now, so none of them is opened in its place:\n%3\nPlug it back into the "
              "USB port it was in, or choose port %1 again in the RS232C menu to use the device "
              "that has its number now.")
        .arg(m_commPort)
        .arg(lost, names.join(u'\n'));
}

void MSComm::forgetLostDevice()
{
    m_lost = {};
    m_lostPort = 0;
}
