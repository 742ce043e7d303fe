// The line settings a settings string names: "9600N81" is 9600 baud, no parity, 8 data bits,
// 1 stop bit.
#pragma once

#include <QSerialPort>
#include <QString>

#include <optional>

struct LineSettings
{
    qint32 baud = 0;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// Baud rate, parity letter (E, O, N, M or S, either case), data bits (5 to 8) and stop bits
// (1, 1.5 or 2), with nothing between them. Gives nothing, with the reason in why, for a
// string that is not such settings or asks for what no port can do (1.5 stop bits need 5 data
// bits; QSerialPort would quietly send one instead).
std::optional<LineSettings> parseLineSettings(const QString &text, QString *why);
