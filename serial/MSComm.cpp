// Placeholder until the serial port component lands.
#include "serial/MSComm.h"

MSComm::MSComm(QObject *parent) : QObject(parent), m_decoder(QStringDecoder::Utf8) {}
MSComm::~MSComm() = default;
bool MSComm::PortOpen() const { return m_port.isOpen(); }
bool MSComm::setPortOpen(bool) { return false; }
void MSComm::setCommPort(int port) { m_commPort = port; }
void MSComm::setSettings(const QString &settings) { m_settings = settings; }
int MSComm::InBufferCount() const { return 0; }
void MSComm::setInBufferCount(int) {}
int MSComm::OutBufferCount() const { return 0; }
void MSComm::setOutBufferCount(int) {}
void MSComm::setOutput(const QString &) {}
QString MSComm::Input() { return {}; }
QString MSComm::devicePathFor(int port) { return QStringLiteral("/dev/ttyS%1").arg(port - 1); }
void MSComm::raiseEventForTesting(std::int16_t) {}
void MSComm::onReadyRead() {}
void MSComm::deliverReceived() {}
void MSComm::onErrorOccurred(QSerialPort::SerialPortError) {}
void MSComm::reportLineErrors() {}
void MSComm::raise(std::int16_t) {}
bool MSComm::applySettings() { return false; }
void MSComm::resetReceiveState() {}
