// Settings strings read into line settings, and those no port can use refused with the reason.
#include "serial/LineSettings.h"

#include <QTest>

class TestLineSettings : public QObject
{
    Q_OBJECT

private slots:
    void settingsStrings_data();
    void settingsStrings();
};

void TestLineSettings::settingsStrings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // baud, parity, data bits, stop bits; or the reason

    QTest::newRow("9600N81") << "9600N81"
                             << "9600 N 8 1";
    QTest::newRow("2400E71, the default") << "2400E71"
                                          << "2400 E 7 1";
    QTest::newRow("600N82") << "600N82"
                            << "600 N 8 2";
    QTest::newRow("28800O81") << "28800O81"
                              << "28800 O 8 1";
    QTest::newRow("mark and space parity, small letters") << "19200m81"
                                                          << "19200 M 8 1";
    QTest::newRow("space parity") << "1200S71"
                                  << "1200 S 7 1";
    QTest::newRow("1.5 stop bits after 5 data bits: two, as a UART sends them") << "4800N51.5"
                                                                                << "4800 N 5 2";

    const QString invalid = QStringLiteral("are not valid");
    const QString halfStop = QStringLiteral("ask for 1.5 stop bits");
    QTest::newRow("empty") << "" << invalid;
    QTest::newRow("baud only") << "9600" << invalid;
    QTest::newRow("no stop bits") << "9600N8" << invalid;
    QTest::newRow("unknown parity") << "9600X81" << invalid;
    QTest::newRow("9 data bits") << "9600N91" << invalid;
    QTest::newRow("4 data bits") << "9600N41" << invalid;
    QTest::newRow("3 stop bits") << "9600N83" << invalid;
    QTest::newRow("separators") << "9600,N,8,1" << invalid;
    QTest::newRow("blank inside") << "9600 N81" << invalid;
    QTest::newRow("trailing blank") << "9600N81 " << invalid;
    QTest::newRow("no baud") << "N81" << invalid;
    QTest::newRow("negative baud") << "-9600N81" << invalid;
    QTest::newRow("baud too long") << "1234567890N81" << invalid;
    QTest::newRow("zero baud") << "0N81" << QStringLiteral("no usable baud rate");
    QTest::newRow("1.5 stop bits, 8 data bits") << "9600N81.5" << halfStop;
    QTest::newRow("1.5 stop bits, 7 data bits") << "2400E71.5" << halfStop;
    QTest::newRow("1.5 stop bits, 6 data bits") << "2400E61.5" << halfStop;
}

void TestLineSettings::settingsStrings()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);

    QString why;
    const std::optional<LineSettings> line = parseLineSettings(text, &why);
    if (!line) {
        QVERIFY2(why.contains(expected), qPrintable(why));
        QVERIFY2(why.contains(u'"' + text + u'"'), qPrintable(why));
        return;
    }
    const auto parity = [](QSerialPort::Parity p) {
        switch (p) {
        case QSerialPort::EvenParity:
            return u'E';
        case QSerialPort::OddParity:
            return u'O';
        case QSerialPort::MarkParity:
            return u'M';
        case QSerialPort::SpaceParity:
            return u'S';
        default:
            return u'N';
        }
    };
    QCOMPARE(QStringLiteral("%1 %2 %3 %4")
                 .arg(line->baud)
                 .arg(QChar(parity(line->parity)))
                 .arg(int(line->dataBits))
                 .arg(line->stopBits == QSerialPort::TwoStop ? 2 : 1),
             expected);
}

QTEST_APPLESS_MAIN(TestLineSettings)
#include "tst_linesettings.moc"
