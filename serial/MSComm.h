// The serial port component: a port opened by number, line settings from a settings string,
// and one OnComm event per received character.
//
// The one rule for callers: a handler of OnComm may do anything the window does, close the
// port or show a modal dialog (which runs events) included. The component expects it: it
// never delivers inside a delivery, drops what a close leaves undelivered, and picks up after
// the dialog whatever arrived meanwhile.
#pragma once

#include "panes/TextDecoder.h"
#include "serial/LinuxTty.h"
#include "serial/SerialPorts.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

struct LineSettings;

class MSComm : public QObject
{
    Q_OBJECT

public:
    // CommEvent codes. 2 reports received characters; codes above 10 are line errors.
    enum Event : std::int16_t {
        comEvSend = 1,
        comEvReceive = 2,
        comEvCTS = 3,
        comEvDSR = 4,
        comEvCD = 5,
        comEvRing = 6,
        comEvEOF = 7,
        comEventBreak = 1001,
        comEventFrame = 1004,
        comEventOverrun = 1006,
        comEventRxOver = 1008,
        comEventRxParity = 1009,
        comEventDeviceGone = 1011,
    };

    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    // True exactly while the port is open.
    bool PortOpen() const;
    // Opens port CommPort() with Settings(), or closes it. Returns false when the port cannot
    // be opened; errorString() and devicePath() then tell why and what was tried.
    bool setPortOpen(bool open);

    int CommPort() const { return m_commPort; }
    void setCommPort(int port);

    QString Settings() const { return m_settings; }
    // Stored as given; read and applied when the port opens.
    void setSettings(const QString &settings);

    // Received characters not yet read.
    int InBufferCount() const;
    // 0 discards received characters not yet read; allowed while closed.
    void setInBufferCount(int count);

    // Bytes not yet on the wire: those still in the port's own buffer and those the driver
    // still holds.
    int OutBufferCount() const;
    // 0 discards what has not yet been handed to the device.
    void setOutBufferCount(int count);

    // Queues the text for transmission (UTF-8) and returns at once.
    void setOutput(const QString &text);
    // Bytes of output that never reached the wire because the port closed or its device went
    // away; 0 again once the port opens.
    int droppedOutput() const { return m_droppedOutput; }
    // After the device went away: bytes before the dropped ones that it may never have read,
    // what its driver took since it last told how much it held. A pseudo-terminal never tells,
    // so that is all it took, at most unreadBound. 0 after any other close and once it opens.
    int outputMaybeUnread() const { return m_maybeUnread; }
    // The most a device that cannot tell its queue is taken to hold unread: Linux keeps some
    // 22 KB in a pseudo-terminal whose other end stopped reading.
    static constexpr int unreadBound = 64 * 1024;
    // How long that many bytes take on the wire with the current settings (start bit, data
    // bits, parity, stop bits), in seconds; 0 for settings that cannot be read.
    double secondsOnWire(qint64 bytes) const;

    // The received character being reported by OnComm (one character per read), or "" when
    // it has already been read.
    QString Input();

    std::int16_t CommEvent() const { return m_commEvent; }

    // After the device went away (1011), port n opens that same device again whatever number
    // it now has (see findDevice), and refuses to open another one standing in its place, or
    // one that cannot be told apart from another present; choosing the port again (the user
    // means the device now there) forgets it.
    void forgetLostDevice();

    // The device the last opening tried (empty when no device was behind the number).
    QString devicePath() const { return m_devicePath; }
    // The system's reason for the last failure to open or apply the settings.
    QString errorString() const { return m_errorString; }
    // True when the last failure to open came from missing permission (the dialout group).
    bool permissionDenied() const { return m_permissionDenied; }
    // True when the last failure to open came from the port being open elsewhere already.
    bool portBusy() const { return m_portBusy; }

    // Raises OnComm with the given code as if the line had reported it; a seam for tests
    // of the handler's error paths.
    void raiseEventForTesting(std::int16_t code);

    // The window's handler of OnComm, called for every event before the signal is emitted, for
    // as long as the context lives. A fast device raises OnComm a million times a second, and a
    // signal's dispatch costs more than the handler's own work on a character.
    void setOnCommHandler(QObject *context, std::function<void()> handler);

signals:
    // Raised once per received character and once per line event; CommEvent() tells which.
    void OnComm();
    // Raised after the last character of a received chunk has been reported.
    void inputDrained();

protected:
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;

private:
    // One read slice: a fast device still leaves room for the window between slices.
    static constexpr qint64 sliceBytes = 64 * 1024;

    void closePort();
    bool fail(const QString &reason);
    QString lostDeviceReason(const QList<SerialDevice> &alike) const;
    void classifyOpenFailure();
    bool checkAppliedSettings(const LineSettings &line);
    void deliverReceived();
    void queueDelivery();
    void fillReceived();
    void dropInput();
    void onErrorOccurred(QSerialPort::SerialPortError error);
    void onDeviceGone(quint64 openGeneration);
    void reportLineErrors();
    void raise(std::int16_t code);
    void notify();

    int m_onCommReceivers = 0; // connections of the OnComm signal
    QPointer<QObject> m_handlerContext;
    std::function<void()> m_handler;
    QSerialPort m_port;
    TextDecoder m_decoder;
    int m_commPort = 1;
    QString m_settings = QStringLiteral("2400E71");
    QString m_devicePath;
    PortDevice m_opened; // what the open port is, by number
    int m_openedPort = 0;
    PortDevice m_lost; // what went away, and from which port
    int m_lostPort = 0;
    QString m_errorString;
    bool m_permissionDenied = false;
    bool m_portBusy = false;
    std::int16_t m_commEvent = 0;
    int m_droppedOutput = 0;
    int m_maybeUnread = 0;
    qint64 m_written = 0; // bytes queued since the port opened
    mutable qint64 m_confirmed = 0; // of those, bytes the driver has told are on the wire
    bool m_pseudoTerminal = false;

    // The port stays open for the window after its device has gone, until the window closes
    // it; the device itself is released at once.
    bool m_open = false;
    bool m_deviceGone = false;
    bool m_goneReportPending = false;
    QString m_goneText; // what the device sent before it went, decoded
    quint64 m_openGeneration = 0;

    QByteArray m_bytes; // one slice of raw input
    QString m_received; // decoded characters of the slice being reported
    qsizetype m_next = 0; // next character of m_received to report
    QString m_current; // the character OnComm is reporting
    bool m_currentRead = true;
    bool m_delivering = false;
    bool m_deliveryQueued = false;
    quint64 m_inputGeneration = 0; // changes whenever undelivered input is dropped

    std::optional<tty::LineErrorCounts> m_counters; // the UART's, when it keeps them
};
