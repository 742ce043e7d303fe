// The serial port component over QSerialPort: settings strings, one OnComm per received
// character, and line errors as CommEvent codes.
#include "serial/MSComm.h"

#include "serial/SerialPorts.h"

#include <QElapsedTimer>
#include <QMetaMethod>
#include <QMetaObject>
#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#ifdef Q_OS_LINUX
#include <asm/ioctls.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#include "serial/Termios2.h"
#endif

namespace {

// One read slice: a fast device still leaves room for the window between slices.
constexpr qint64 sliceBytes = 64 * 1024;
constexpr qint64 sliceMilliseconds = 10;
// QSerialPort's own receive buffer; beyond it the kernel holds the bytes (and a real UART
// overruns, which is reported) instead of memory filling up.
constexpr qint64 readBufferBytes = 1024 * 1024;

struct LineSettings
{
    qint32 baud = 0;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

std::optional<LineSettings> parseSettings(const QString &text, QString *why)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]{1,9})([EONMS])([5-8])(1|1\\.5|2)$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        *why = MSComm::tr("The line settings \"%1\" are not valid: they are a baud rate, "
                          "a parity letter (E, O or N), data bits (5 to 8) and stop bits "
                          "(1, 1.5 or 2), as in 9600N81.")
                   .arg(text);
        return std::nullopt;
    }
    LineSettings line;
    line.baud = match.captured(1).toInt();
    if (line.baud <= 0) {
        *why = MSComm::tr("The line settings \"%1\" have no usable baud rate.").arg(text);
        return std::nullopt;
    }
    switch (match.captured(2).at(0).toUpper().unicode()) {
    case u'E':
        line.parity = QSerialPort::EvenParity;
        break;
    case u'O':
        line.parity = QSerialPort::OddParity;
        break;
    case u'M':
        line.parity = QSerialPort::MarkParity;
        break;
    case u'S':
        line.parity = QSerialPort::SpaceParity;
        break;
    default:
        line.parity = QSerialPort::NoParity;
        break;
    }
    const int dataBits = match.captured(3).toInt();
    line.dataBits = QSerialPort::DataBits(dataBits);
    const QString stop = match.captured(4);
    if (stop == u"1.5") {
        // A UART sends 1.5 stop bits only after 5-bit characters, when asked for two;
        // QSerialPort would quietly send one instead.
        if (dataBits != 5) {
            *why = MSComm::tr("The line settings \"%1\" ask for 1.5 stop bits with %2 data bits, "
                              "which a serial port cannot send (1.5 stop bits need 5 data bits).")
                       .arg(text)
                       .arg(dataBits);
            return std::nullopt;
        }
        line.stopBits = QSerialPort::TwoStop;
    } else {
        line.stopBits = stop == u"2" ? QSerialPort::TwoStop : QSerialPort::OneStop;
    }
    return line;
}

// Every character the window reads is one of these or a surrogate pair. Strings over this
// table need no allocation and no reference count, and the table lives as long as the program.
const char16_t *characterTable()
{
    static const auto table = [] {
        std::array<char16_t, 65536> all {};
        for (std::size_t i = 0; i < all.size(); ++i)
            all[i] = char16_t(i);
        return all;
    }();
    return table.data();
}

QString oneCharacter(char16_t c)
{
    return QString::fromRawData(reinterpret_cast<const QChar *>(characterTable() + c), 1);
}

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
    if (m_commPort == m_lostPort && !device.configured && device.identity != m_lost.identity) {
        const auto back
            = std::find_if(present.cbegin(), present.cend(), [this](const SerialDevice &d) {
                  return d.stablePath == m_lost.identity;
              });
        if (back == present.cend()) {
            m_devicePath = m_lost.path;
            return fail(tr("The device port %1 had, %2, went away and has not come back. Plug it "
                           "in, or choose port %1 again in the RS232C menu to use the device "
                           "that has its number now.")
                            .arg(m_commPort)
                            .arg(m_lost.description));
        }
        device = {back->node, back->description(), back->stablePath};
    }
    m_devicePath = device.path;
    if (m_devicePath.isEmpty()) {
        return fail(tr("No serial device is present for port %1. Plug the adapter in, or name "
                       "the device in KAVREL_COM%1 (for example KAVREL_COM%1=/dev/ttyUSB0).")
                        .arg(m_commPort));
    }

    QString why;
    const std::optional<LineSettings> line = parseSettings(m_settings, &why);
    if (!line)
        return fail(why);

    // Everything is set before open(): a pseudo-terminal refuses parity and 7 data bits
    // once open, and a real port should start with the right framing.
    m_port.setPortName(m_devicePath);
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
#ifdef Q_OS_LINUX
    // Other terminal programs take this lock too; it also holds where the lock file of the
    // first opener has gone stale.
    if (::flock(m_port.handle(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        m_port.close();
        m_portBusy = true;
        return fail(tr("The port is busy: it is already open in Kavrel or another program."));
    }
#endif
    if (!checkAppliedSettings(line->baud)) {
        m_port.clear(QSerialPort::Output);
        m_port.close();
        return false;
    }

    dropInput();
    m_deviceGone = false;
    m_goneReportPending = false;
    ++m_openGeneration;
    m_open = true;
    m_opened = device;
    m_openedPort = m_commPort;
    if (m_lostPort == m_commPort)
        forgetLostDevice();
#ifdef Q_OS_LINUX
    serial_icounter_struct counts {};
    m_countersAvailable = ::ioctl(m_port.handle(), TIOCGICOUNT, &counts) == 0;
    m_counters = {counts.frame, counts.overrun, counts.parity, counts.brk, counts.buf_overrun};
#endif
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
        // close would otherwise wait for the kernel to drain it.
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

bool MSComm::checkAppliedSettings(qint32 baud)
{
#ifdef Q_OS_LINUX
    // A driver that cannot do what was asked sets what it can instead: read back what the
    // port really runs at.
    termios2 applied {};
    if (::ioctl(m_port.handle(), TCGETS2, &applied) != 0)
        return true;
    const qint64 actual = applied.c_ospeed;
    if (qAbs(actual - baud) * 100 > qint64(baud) * 2) {
        return fail(
            tr("The port cannot run at %1 baud (it offers %2 baud).").arg(baud).arg(actual));
    }
    // A pseudo-terminal has no framing and always reports 8 data bits and no parity.
    struct stat info;
    const bool pseudoTerminal = ::fstat(m_port.handle(), &info) == 0
        && ((major(info.st_rdev) >= 136 && major(info.st_rdev) <= 143) || major(info.st_rdev) == 3);
    if (pseudoTerminal)
        return true;
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    const int dataBits = int(m_port.dataBits());
    if ((applied.c_cflag & CSIZE) != sizes[dataBits - 5])
        return fail(tr("The port cannot use %1 data bits.").arg(dataBits));
    const bool parity = m_port.parity() != QSerialPort::NoParity;
    if (bool(applied.c_cflag & PARENB) != parity)
        return fail(tr("The port cannot use this parity."));
    const bool twoStop = m_port.stopBits() == QSerialPort::TwoStop;
    if (bool(applied.c_cflag & CSTOPB) != twoStop)
        return fail(tr("The port cannot use these stop bits."));
#else
    Q_UNUSED(baud);
#endif
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
    qint64 count = m_port.bytesToWrite();
#ifdef Q_OS_LINUX
    // What the driver still holds for the wire (a pseudo-terminal always says 0).
    int queued = 0;
    if (::ioctl(m_port.handle(), TIOCOUTQ, &queued) == 0 && queued > 0)
        count += queued;
#endif
    return int(qMin<qint64>(count, INT_MAX));
}

void MSComm::setOutBufferCount(int count)
{
    if (count == 0 && m_port.isOpen())
        m_port.clear(QSerialPort::Output);
}

void MSComm::setOutput(const QString &text)
{
    // QSerialPort keeps what the device has not taken yet and hands it over as it can.
    if (m_port.isOpen())
        m_port.write(text.toUtf8());
}

QString MSComm::Input()
{
    if (m_currentRead)
        return QString();
    m_currentRead = true;
    return m_current;
}

void MSComm::forgetLostDevice()
{
    m_lost = {};
    m_lostPort = 0;
}

QString MSComm::devicePathFor(int port)
{
    return portDevice(port, listSerialDevices()).path;
}

void MSComm::raiseEventForTesting(std::int16_t code)
{
    raise(code);
}

void MSComm::setOnCommHandler(QObject *context, std::function<void()> handler)
{
    m_handlerContext = context;
    m_handler = std::move(handler);
}

void MSComm::raise(std::int16_t code)
{
    m_commEvent = code;
    notify();
}

void MSComm::notify()
{
    if (m_handler && m_handlerContext)
        m_handler();
    // Even a signal nobody receives costs a dispatch, and so does asking whether anybody
    // does (a lock): the count of connections tells. It can only be too high (disconnecting
    // everything at once is not counted), which costs a dispatch, never an event.
    if (m_onCommReceivers > 0)
        emit OnComm();
}

void MSComm::connectNotify(const QMetaMethod &signal)
{
    if (signal == QMetaMethod::fromSignal(&MSComm::OnComm))
        ++m_onCommReceivers;
}

void MSComm::disconnectNotify(const QMetaMethod &signal)
{
    if (signal == QMetaMethod::fromSignal(&MSComm::OnComm))
        --m_onCommReceivers;
}

void MSComm::queueDelivery()
{
    if (m_deliveryQueued)
        return;
    m_deliveryQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_deliveryQueued = false;
            deliverReceived();
        },
        Qt::QueuedConnection);
}

void MSComm::fillReceived()
{
    m_next = 0;
    if (m_deviceGone) {
        m_received = std::exchange(m_goneText, QString());
        return;
    }
    m_received.resize(0);
    const qint64 count = m_port.isOpen() ? m_port.read(m_bytes.data(), sliceBytes) : 0;
    if (count > 0)
        m_decoder.decode(QByteArrayView(m_bytes.constData(), count), m_received);
}

// Reports one slice of received characters, one OnComm each. A handler may run events
// meanwhile: readyRead then comes again (or not at all, while its own slot still runs), so
// delivery never nests, and whatever arrived meanwhile is picked up by a queued call.
void MSComm::deliverReceived()
{
    if (m_delivering || !m_open)
        return;
    if (m_next >= m_received.size())
        fillReceived();

    m_delivering = true;
    const quint64 generation = m_inputGeneration;
    const QChar *characters = m_received.constData();
    const qsizetype size = m_received.size();
    qsizetype delivered = 0;
    QElapsedTimer clock;
    clock.start();
    while (m_next < size) {
        const char16_t c = characters[m_next].unicode();
        if (QChar::isHighSurrogate(c) && m_next + 1 < size
            && characters[m_next + 1].isLowSurrogate()) {
            m_current = QString(characters + m_next, 2);
            m_next += 2;
        } else {
            m_current = oneCharacter(c);
            ++m_next;
        }
        m_currentRead = false;
        m_commEvent = comEvReceive;
        ++delivered;
        notify();
        m_currentRead = true;
        if (generation != m_inputGeneration)
            break;
        if ((delivered & 255) == 0 && clock.hasExpired(sliceMilliseconds))
            break;
    }
    m_delivering = false;

    if (delivered > 0)
        emit inputDrained();
    if (!m_open)
        return;
    const quint64 openGeneration = m_openGeneration;
    reportLineErrors();
    if (openGeneration != m_openGeneration || !m_open)
        return;
    const bool more = m_next < m_received.size() || !m_goneText.isEmpty()
        || (!m_deviceGone && m_port.bytesAvailable() > 0);
    if (more) {
        queueDelivery();
    } else if (m_goneReportPending) {
        m_goneReportPending = false;
        raise(comEventDeviceGone);
    }
}

void MSComm::dropInput()
{
    m_received.resize(0);
    m_next = 0;
    m_goneText.clear();
    m_currentRead = true;
    m_decoder.reset();
    ++m_inputGeneration;
}

void MSComm::onErrorOccurred(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
    case QSerialPort::WriteError:
        break;
    default:
        // Modem-line calls a pseudo-terminal does not support, and the results of this
        // component's own calls: none of them ends the line.
        return;
    }
    if (!m_open || m_deviceGone)
        return;
    // QSerialPort repeats a read error at full speed until the port closes; it is reported
    // once, after QSerialPort's own signal has returned.
    m_deviceGone = true;
    QMetaObject::invokeMethod(
        this, [this, generation = m_openGeneration] { onDeviceGone(generation); },
        Qt::QueuedConnection);
}

void MSComm::onDeviceGone(quint64 openGeneration)
{
    if (openGeneration != m_openGeneration || !m_open)
        return;
    // What the device sent before it went is still reported, the bytes of a character it left
    // unfinished each as the Latin-1 character of its value.
    m_goneText.clear();
    m_decoder.decode(m_port.readAll(), m_goneText);
    m_decoder.finish(m_goneText);
    m_port.clear(QSerialPort::Output);
    m_port.close();
    // Start finds this device again, not whatever takes its number meanwhile.
    if (!m_opened.identity.isEmpty()) {
        m_lost = m_opened;
        m_lostPort = m_openedPort;
    }
    m_goneReportPending = true;
    if (!m_delivering)
        deliverReceived();
}

void MSComm::reportLineErrors()
{
#ifdef Q_OS_LINUX
    // Real UARTs count line errors; a pseudo-terminal has no such counters.
    if (!m_countersAvailable || !m_port.isOpen())
        return;
    serial_icounter_struct now {};
    if (::ioctl(m_port.handle(), TIOCGICOUNT, &now) != 0) {
        m_countersAvailable = false;
        return;
    }
    const LineCounters before = m_counters;
    m_counters = {now.frame, now.overrun, now.parity, now.brk, now.buf_overrun};
    const std::pair<bool, Event> rises[] = {
        {m_counters.bufOverrun > before.bufOverrun, comEventRxOver},
        {m_counters.overrun > before.overrun, comEventOverrun},
        {m_counters.parity > before.parity, comEventRxParity},
        {m_counters.frame > before.frame, comEventFrame},
        {m_counters.brk > before.brk, comEventBreak},
    };
    const quint64 generation = m_openGeneration;
    for (const auto &[rose, code] : rises) {
        if (!rose)
            continue;
        raise(code);
        if (generation != m_openGeneration)
            return;
    }
#endif
}
