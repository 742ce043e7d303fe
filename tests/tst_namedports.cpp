// A device named in KAVREL_COM<N>: the path named is the one opened, whatever it names at each
// Start, and a device held open is busy by whatever name it is opened, or whoever holds it.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "panes/lines/LinePane.h"
#include "serial/MSComm.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/WindowOnPty.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTest>

class TestNamedPorts : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void configuredDeviceOpensAgain_data();
    void configuredDeviceOpensAgain();
    void heldByAnotherProgram_data();
    void heldByAnotherProgram();
};

void TestNamedPorts::cleanup()
{
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    qunsetenv("KAVREL_COM1");
}

void TestNamedPorts::configuredDeviceOpensAgain_data()
{
    QTest::addColumn<QString>("named"); // what KAVREL_COM1 names after the device went away
    QTest::addColumn<bool>("back"); // a device is there
    QTest::newRow("back under the same link") << "link" << true;
    QTest::newRow("back under the same link, named from the current folder") << "relative" << true;
    QTest::newRow("the variable names another device") << "device" << true;
    QTest::newRow("back, and opened again by another name: busy") << "busy" << true;
    QTest::newRow("the link left pointing nowhere") << "link" << false;
    QTest::newRow("a bare name is in /dev, not in the current folder") << "bare" << false;
}

// A device named in KAVREL_COM<N> is whatever the variable names at each Start: no lost device
// is looked for in its place, however it came to be gone. The path named is the one opened.
void TestNamedPorts::configuredDeviceOpensAgain()
{
    QFETCH(QString, named);
    QFETCH(bool, back);
    PtyDevice other;
    WindowOnPty window;
    QVERIFY(other.isValid() && window.isValid() && QDir::setCurrent(window.settingsFolder()));
    Form1 &form = window.form();
    const QString link = window.settingsFolder() + "/ttyLink";
    QVERIFY(QFile::link(window.device().slavePath(), link));
    qputenv("KAVREL_COM1", named == "relative" ? "./ttyLink" : QFile::encodeName(link));
    QVERIFY(WindowOnPty::choose(form.Term[0]));
    QVERIFY(window.start());

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok);
    window.device().closeMaster();
    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(answerer.shown().last().text, QStringLiteral("Communication Error 1011 !"));
    QVERIFY(QFile::remove(link));
    // A bare name is a device in /dev, even where the current folder has one of that name.
    if ((back || named == "bare") && named != "device")
        QVERIFY(QFile::link(other.slavePath(), link));
    if (named == "device" || named == "bare")
        qputenv("KAVREL_COM1", named == "bare" ? "ttyLink" : QFile::encodeName(other.slavePath()));
    const QString path = named == "relative" ? QDir::currentPath() + "/ttyLink"
        : named == "bare"                    ? QStringLiteral("/dev/ttyLink")
        : named == "device"                  ? other.slavePath()
                                             : link;

    answerer.answerMessage(QMessageBox::Ok); // for a refusal
    QCOMPARE(window.start(), back);
    QCOMPARE(answerer.pending(), back ? 1 : 0);
    QCOMPARE(form.MSComm1->devicePath(), path);
    emit form.RS[0]->aboutToShow();
    QCOMPARE(form.Port[0]->toolTip(), path + " \u2014 KAVREL_COM1");
    if (!back) {
        const QString why = answerer.shown().last().informativeText;
        QVERIFY2(why.contains(path) && why.contains("No such file or directory")
                     && !why.contains("has not come back"),
                 qPrintable(why));
        return;
    }
    if (named == "busy") {
        // Refused by another name, whoever runs it (root opens a device in exclusive mode
        // regardless), before the holder's line settings change.
        MSComm second;
        second.setSettings(QStringLiteral("600N81"));
        qputenv("KAVREL_COM1", QFile::encodeName(other.slavePath()));
        const int speed = other.slaveSpeed();
        QVERIFY(!second.setPortOpen(true) && second.portBusy());
        QCOMPARE(other.slaveSpeed(), speed);
    }
    form.RichTextBox1->setText(QStringLiteral("AB"));
    form.Command1->click();
    QCOMPARE(other.read(4, 10000), QByteArray("AB\r\n"));
    form.ClosePort(); // while the device it opened is still there
}

void TestNamedPorts::heldByAnotherProgram_data()
{
    QTest::addColumn<bool>("byLink"); // port 1 names a link to the device cat reads
    QTest::newRow("cat reads the device") << false;
    QTest::newRow("cat reads the device, port 1 names a link to it") << true;
}

// A program reading the device without any lock would take the lines meant for the pane: Start
// refuses it as busy, naming it, and opens once it has gone.
void TestNamedPorts::heldByAnotherProgram()
{
    QFETCH(bool, byLink);
    WindowOnPty window;
    QVERIFY(window.isValid());
    const QString device = window.device().slavePath();
    const QString link = window.settingsFolder() + "/ttyLink";
    QVERIFY(QFile::link(device, link));
    if (byLink)
        qputenv("KAVREL_COM1", QFile::encodeName(link));
    QProcess cat;
    cat.start(QStringLiteral("cat"), {device});
    QVERIFY(cat.waitForStarted());
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(cat.processId()));
    const auto holds = [&] {
        for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
            if (fd.symLinkTarget() == device)
                return true;
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(holds(), 10000);

    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok);
    QVERIFY(!window.start());
    QVERIFY(answerer.waitAllAnswered());
    const QString why = answerer.shown().last().informativeText;
    QVERIFY2(why.contains(QStringLiteral("The port is busy: it is already open in Kavrel or "
                                         "another program (cat, process %1).")
                              .arg(cat.processId())),
             qPrintable(why));
    cat.kill();
    QVERIFY(cat.waitForFinished());
    QVERIFY(window.start());
    window.device().write("12.5\r");
    QTRY_COMPARE_WITH_TIMEOUT(window.form().RichTextBox2->Text(), QStringLiteral("12.5\r\n"),
                              10000);
}

QTEST_MAIN(TestNamedPorts)
#include "tst_namedports.moc"
