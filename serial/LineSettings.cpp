// Reading a settings string into line settings.
#include "serial/LineSettings.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MSComm", text);
}

QSerialPort::Parity parityOf(QChar letter)
{
    switch (letter.toUpper().unicode()) {
    case u'E':
        return QSerialPort::EvenParity;
    case u'O':
        return QSerialPort::OddParity;
    case u'M':
        return QSerialPort::MarkParity;
    case u'S':
        return QSerialPort::SpaceParity;
    default:
        return QSerialPort::NoParity;
    }
}

} // namespace

std::optional<LineSettings> parseLineSettings(const QString &text, QString *why)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]{1,9})([EONMS])([5-8])(1|1\\.5|2)$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        *why = tr("The line settings \"%1\" are not valid: they are a baud rate, a parity letter "
                  "(E, O or N), data bits (5 to 8) and stop bits (1, 1.5 or 2), as in 9600N81.")
                   .arg(text);
        return std::nullopt;
    }
    LineSettings line;
    line.baud = match.captured(1).toInt();
    if (line.baud <= 0) {
        *why = tr("The line settings \"%1\" have no usable baud rate.").arg(text);
        return std::nullopt;
    }
    line.parity = parityOf(match.captured(2).at(0));
    const int dataBits = match.captured(3).toInt();
    line.dataBits = QSerialPort::DataBits(dataBits);
    const QString stop = match.captured(4);
    if (stop == u"1.5") {
        // A UART sends 1.5 stop bits only after 5-bit characters, when asked for two.
        if (dataBits != 5) {
            *why = tr("The line settings \"%1\" ask for 1.5 stop bits with %2 data bits, which a "
                      "serial port cannot send (1.5 stop bits need 5 data bits).")
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
