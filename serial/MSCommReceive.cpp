// Receiving: one OnComm per received character, a device that went away, and the line
// errors a UART counts.
#include "serial/MSComm.h"

#include "serial/LinuxTty.h"

#include <QElapsedTimer>
#include <QMetaMethod>
#include <QMetaObject>

#include <algorithm>
#include <array>
#include <utility>

namespace {

// A slice is reported for at most this long before the window gets its turn.
constexpr qint64 sliceMilliseconds = 10;

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

} // namespace

QString MSComm::Input()
{
    if (m_currentRead)
        return QString();
    m_currentRead = true;
    return m_current;
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
    // What the driver took and never told it had sent may not have been read: a pseudo-terminal
    // drops what its other end had not read when that end goes.
    m_droppedOutput = OutBufferCount();
    m_maybeUnread = int(std::clamp<qint64>(m_written - m_droppedOutput - m_confirmed, 0,
                                           unreadBound));
    m_port.clear(QSerialPort::Output);
    m_port.close();
    // Start finds this device again, not whatever takes its number meanwhile. One of its kind
    // plugged in since it opened makes its kind no longer tell it apart.
    if (!m_opened.configured) {
        m_lost = m_opened;
        m_lostPort = m_openedPort;
        for (const SerialDevice &other : listSerialDevices()) {
            if (other.node != m_lost.path && other.identity.kind == m_lost.identity.kind)
                m_lost.identity.uniqueKind = false;
        }
    }
    m_goneReportPending = true;
    if (!m_delivering)
        deliverReceived();
}

void MSComm::reportLineErrors()
{
    // Real UARTs count line errors; a pseudo-terminal has no such counters.
    if (!m_counters || !m_port.isOpen())
        return;
    const std::optional<tty::LineErrorCounts> now = tty::lineErrorCounts(int(m_port.handle()));
    const tty::LineErrorCounts before = *m_counters;
    m_counters = now;
    if (!now)
        return;
    const std::pair<bool, Event> rises[] = {
        {now->bufferOverrun > before.bufferOverrun, comEventRxOver},
        {now->overrun > before.overrun, comEventOverrun},
        {now->parity > before.parity, comEventRxParity},
        {now->frame > before.frame, comEventFrame},
        {now->brk > before.brk, comEventBreak},
    };
    const quint64 generation = m_openGeneration;
    for (const auto &[rose, code] : rises) {
        if (!rose)
            continue;
        raise(code);
        if (generation != m_openGeneration)
            return;
    }
}
