// The simulated instrument as Kavrel meets it: readings on its port, lines echoed, the port
// closed and opened again, and a clean stop.
#include "serial/MSComm.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

class TestKavrelSim : public QObject
{
    Q_OBJECT

private slots:
    void readingsEchoAndStop();
    void numberedReadingsCountedToTheLast();
};

void TestKavrelSim::readingsEchoAndStop()
{
    QProcess sim;
    sim.start(QStringLiteral(KAVREL_SIM_PATH),
              {QStringLiteral("--interval"), QStringLiteral("20")});
    QVERIFY2(sim.waitForStarted(), qPrintable(sim.errorString()));
    QTRY_VERIFY(sim.canReadLine());
    const QString path = QString::fromLocal8Bit(sim.readLine()).trimmed();
    QVERIFY(path.startsWith(u"/dev/"));
    qputenv("KAVREL_COM1", path.toLocal8Bit());

    MSComm comm;
    QStringList lines;
    QString line;
    connect(&comm, &MSComm::OnComm, this, [&] {
        const QString c = comm.Input();
        if (c == u"\r") {
            lines.append(line);
            line.clear();
        } else if (c != u"\n") {
            line += c;
        }
    });
    comm.setCommPort(1);
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString())); // the default 2400E71
    QTRY_VERIFY(lines.size() >= 12);
    // The first line may have started before the port opened.
    const QRegularExpression reading(QStringLiteral("^(\\x1BT,)?1[0-5]\\.\\d\\x06?$"));
    for (const QString &received : lines.mid(1))
        QVERIFY2(reading.match(received).hasMatch(), qPrintable(received));
    const QStringList full = lines.mid(1);
    QVERIFY(!full.filter(QStringLiteral("\x06")).isEmpty());
    QVERIFY(!full.filter(QStringLiteral("\x1BT,")).isEmpty());

    comm.setOutput(QStringLiteral("SET 4 Grüße\r\n"));
    QTRY_VERIFY(lines.contains(QStringLiteral("SET 4 Grüße")));

    // Closed and opened again, the instrument is still there.
    QVERIFY(comm.setPortOpen(false));
    QVERIFY(comm.setPortOpen(true));
    lines.clear();
    QTRY_VERIFY(lines.size() >= 2);
    QVERIFY2(reading.match(lines.at(1)).hasMatch(), qPrintable(lines.at(1)));
    QVERIFY(comm.setPortOpen(false));

    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
}

void TestKavrelSim::numberedReadingsCountedToTheLast()
{
    // Ten readings a millisecond, each with its number; SIGUSR1 ends them and the instrument
    // tells how many it sent, so a listener can account for every one.
    QProcess sim;
    sim.start(QStringLiteral(KAVREL_SIM_PATH),
              {QStringLiteral("--interval"), QStringLiteral("0.1"), QStringLiteral("--numbered")});
    QVERIFY2(sim.waitForStarted(), qPrintable(sim.errorString()));
    QTRY_VERIFY(sim.canReadLine());
    const QString path = QString::fromLocal8Bit(sim.readLine()).trimmed();
    qputenv("KAVREL_COM2", path.toLocal8Bit());

    MSComm comm;
    QList<qint64> numbers;
    QString line;
    bool wellFormed = true;
    const QRegularExpression reading(QStringLiteral("^(\\x1BT,)?1[0-5]\\.\\d,(\\d+)\\x06?$"));
    connect(&comm, &MSComm::OnComm, this, [&] {
        const QString c = comm.Input();
        if (c == u"\r") {
            const QRegularExpressionMatch match = reading.match(line);
            wellFormed = wellFormed && match.hasMatch();
            numbers.append(match.captured(2).toLongLong());
            line.clear();
        } else if (c != u"\n") {
            line += c;
        }
    });
    comm.setCommPort(2);
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(numbers.size() >= 2000, 20000);

    ::kill(pid_t(sim.processId()), SIGUSR1);
    QTRY_VERIFY(sim.canReadLine());
    const QString report = QString::fromLocal8Bit(sim.readLine()).trimmed();
    const QRegularExpressionMatch count
        = QRegularExpression(QStringLiteral("^readings (\\d+)$")).match(report);
    QVERIFY2(count.hasMatch(), qPrintable(report));
    const qint64 last = count.captured(1).toLongLong();
    QTRY_VERIFY(!numbers.isEmpty() && numbers.last() == last);
    QVERIFY(wellFormed);
    // The first reading may have started before the port opened; from the second on, none
    // is missing, and none comes after the last.
    for (qsizetype i = 2; i < numbers.size(); ++i)
        QCOMPARE(numbers.at(i), numbers.at(i - 1) + 1);
    QVERIFY(line.isEmpty());

    // Lines are still echoed after the readings have stopped.
    comm.setOutput(QStringLiteral("12.5,1\r"));
    QTRY_COMPARE(numbers.last(), 1);
    QVERIFY(comm.setPortOpen(false));
    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestKavrelSim)
#include "tst_kavrelsim.moc"
