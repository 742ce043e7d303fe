// The devices behind the port numbers: the listing on fake trees and on this machine, and the
// Port menu and Start in the window.
#include "app/Form1.h"
#include "panes/RichTextBox.h"
#include "serial/MSComm.h"
#include "serial/SerialPorts.h"
#include "tests/support/FakeDeviceTree.h"
#include "tests/support/ModalAnswerer.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/WindowOnPty.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QPushButton>
#include <QSet>
#include <QTest>

namespace {

const FakeTty ftdi {.name = "ttyUSB1",
                    .byId = "usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0",
                    .manufacturer = "FTDI",
                    .product = "FT232R USB UART",
                    .serial = "A10K3XYZ"};
const FakeTty prolific {.name = "ttyUSB0",
                        .byId = "usb-Prolific_Technology_Inc._USB-Serial_Controller_D-if00-port0",
                        .manufacturer = "Prolific Technology Inc.",
                        .product = "USB-Serial Controller D"};
const FakeTty pico {.name = "ttyACM0",
                    .byId = "usb-Raspberry_Pi_Pico_E6614103E7452D2F-if00",
                    .manufacturer = "Raspberry Pi",
                    .product = "Pico",
                    .serial = "E6614103E7452D2F"};

FakeTty renamed(FakeTty tty, const QString &name, const QString &byId = QString())
{
    tty.name = name;
    tty.byId = byId;
    return tty;
}

FakeTty uart(int number, int type)
{
    return {.name = QStringLiteral("ttyS%1").arg(number), .uartType = type};
}

enum Links { noUdev = 0, byIdLink = 1, byPathLink = 2, udev = 3 };

FakeTty usb(FakeTty tty, int number, int usbPort, int links)
{
    tty.name = QStringLiteral("ttyUSB%1").arg(number);
    tty.usbPort = QString::number(usbPort);
    if (!(links & byIdLink))
        tty.byId.clear();
    tty.byPath = links & byPathLink;
    return tty;
}

} // namespace

class TestSerialPorts : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void listing_data();
    void listing();
    void listingOfThisMachine();
    void resumingOnIdenticalAdapters_data();
    void resumingOnIdenticalAdapters();
    void portMenuAndStart();
};

void TestSerialPorts::cleanup()
{
    for (int port = 1; port <= 8; ++port)
        qunsetenv(QByteArray("KAVREL_COM" + QByteArray::number(port)).constData());
}

void TestSerialPorts::listing_data()
{
    QTest::addColumn<QList<FakeTty>>("ttys");
    QTest::addColumn<QStringList>("unplugged");
    QTest::addColumn<QStringList>("listed"); // description, then the by-id name where there is one

    const QString ftdiShown = "/dev/ttyUSB1 \u2014 FT232R USB UART (A10K3XYZ) @" + ftdi.byId;
    const QString prolificShown = "/dev/ttyUSB0 \u2014 USB-Serial Controller D @" + prolific.byId;
    const QString picoShown = "/dev/ttyACM0 \u2014 Pico (E6614103E7452D2F) @" + pico.byId;
    QTest::newRow("two adapters, a CDC device, one real and three placeholder UARTs")
        << QList<FakeTty> {uart(3, 0), uart(0, 4), {.name = "tty1"}, prolific, pico,
                           uart(1, 0), ftdi,       uart(2, 0)}
        << QStringList() << QStringList {ftdiShown, prolificShown, picoShown, "/dev/ttyS0"};
    const FakeTty ch340 {
        .name = "ttyUSB0", .byId = "usb-1a86_USB_Serial-if00-port0", .product = "USB Serial"};
    QTest::newRow("adapters plugged in another order keep theirs")
        << QList<FakeTty> {renamed(ftdi, "ttyUSB0", ftdi.byId),
                           renamed(prolific, "ttyUSB1", prolific.byId),
                           renamed(ch340, "ttyUSB2", ch340.byId)}
        << QStringList()
        << QStringList {"/dev/ttyUSB2 \u2014 USB Serial @" + ch340.byId,
                        QString(ftdiShown).replace("ttyUSB1", "ttyUSB0"),
                        QString(prolificShown).replace("ttyUSB0", "ttyUSB1")};
    QTest::newRow("without by-id names: after those with one, by kernel number")
        << QList<FakeTty> {renamed(prolific, "ttyUSB10"),
                           uart(10, 4),
                           ftdi,
                           {.name = "ttyACM0", .manufacturer = "Arduino (www.arduino.cc)"},
                           uart(2, 4),
                           renamed(pico, "ttyUSB2")}
        << QStringList()
        << QStringList {ftdiShown,
                        "/dev/ttyACM0 \u2014 Arduino (www.arduino.cc)",
                        "/dev/ttyUSB2 \u2014 Pico (E6614103E7452D2F)",
                        "/dev/ttyUSB10 \u2014 USB-Serial Controller D",
                        "/dev/ttyS2",
                        "/dev/ttyS10"};
    QTest::newRow("an adapter being pulled out is gone at once")
        << QList<FakeTty> {ftdi, renamed(prolific, "ttyUSB0")} << QStringList {"ttyUSB1"}
        << QStringList {"/dev/ttyUSB0 \u2014 USB-Serial Controller D"};
    QTest::newRow("only placeholder UARTs")
        << QList<FakeTty> {uart(0, 0), uart(1, 0)} << QStringList() << QStringList();
}

void TestSerialPorts::listing()
{
    QFETCH(QList<FakeTty>, ttys);
    QFETCH(QStringList, unplugged);
    QFETCH(QStringList, listed);
    FakeDeviceTree tree;
    QVERIFY(tree.isValid());
    for (const FakeTty &tty : ttys)
        QVERIFY2(tree.add(tty), qPrintable(tty.name));
    for (const QString &name : unplugged)
        QVERIFY(tree.unplug(name));
    QStringList shown;
    for (const SerialDevice &device : listSerialDevices()) {
        QString line = device.description().remove(tree.root());
        if (!device.stablePath.isEmpty())
            line += " @" + QFileInfo(device.stablePath).fileName();
        shown << line;
    }
    QCOMPARE(shown, listed);
}

// This machine's own devices, whatever they are: every UART slot listed exactly when the kernel
// knows a UART behind it, every by-id device listed, nothing twice.
void TestSerialPorts::listingOfThisMachine()
{
    QSet<QString> names;
    for (const SerialDevice &device : listSerialDevices(QStringLiteral("/"))) {
        QVERIFY2(device.node.startsWith("/dev/") && QFileInfo::exists(device.node),
                 qPrintable(device.node));
        QVERIFY2(!names.contains(device.name), qPrintable(device.name));
        names.insert(device.name);
    }
    const QDir ttys(QStringLiteral("/sys/class/tty"));
    for (const QString &name : ttys.entryList({"ttyS*"}, QDir::AllEntries | QDir::System)) {
        QFile type(ttys.filePath(name + "/type"));
        const bool known = type.open(QIODevice::ReadOnly) && type.readAll().trimmed() != "0"
            && QFileInfo::exists("/dev/" + name);
        QVERIFY2(names.contains(name) == known, qPrintable(name));
    }
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QString &link :
         byId.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        QVERIFY(names.contains(QFileInfo(byId.filePath(link)).symLinkTarget().section('/', -1)));
}

void TestSerialPorts::resumingOnIdenticalAdapters_data()
{
    QTest::addColumn<QList<FakeTty>>("before"); // port 1 is `lost`, which goes away
    QTest::addColumn<QString>("lost");
    QTest::addColumn<QList<FakeTty>>("after"); // plugged in while it is away
    QTest::addColumn<QString>("opens"); // empty: Start refuses, naming `alike`
    QTest::addColumn<QStringList>("alike");

    // prolific has no serial number: two of them share one by-id name.
    using Ttys = QList<FakeTty>;
    const Ttys twoShared {usb(prolific, 0, 1, udev), usb(prolific, 1, 2, udev)};
    const Ttys twoBare {usb(prolific, 0, 1, noUdev), usb(prolific, 1, 2, noUdev)};
    QTest::newRow("unique by-id: back under another name in another USB port")
        << Ttys {usb(ftdi, 0, 1, udev), usb(prolific, 1, 2, udev)} << "ttyUSB0"
        << Ttys {usb(ftdi, 2, 3, udev)} << "ttyUSB2" << QStringList();
    QTest::newRow("unique by-id, an identical one plugged in meanwhile: the one in its USB port")
        << Ttys {usb(prolific, 0, 1, udev)} << "ttyUSB0"
        << Ttys {usb(prolific, 2, 1, udev), usb(prolific, 1, 2, udev)} << "ttyUSB2"
        << QStringList();
    QTest::newRow("shared by-id: while it stays away its twin is not opened")
        << twoShared << "ttyUSB1" << Ttys() << "" << QStringList {"ttyUSB0"};
    QTest::newRow("shared by-id: back in another USB port, refused")
        << twoShared << "ttyUSB1" << Ttys {usb(prolific, 2, 3, udev)} << ""
        << QStringList {"ttyUSB0", "ttyUSB2"};
    QTest::newRow("by-path only: the one back in its USB port")
        << Ttys {usb(prolific, 0, 1, byPathLink), usb(prolific, 1, 2, byPathLink)} << "ttyUSB0"
        << Ttys {usb(prolific, 2, 1, byPathLink)} << "ttyUSB2" << QStringList();
    QTest::newRow("no udev: a serial number is found in another USB port")
        << Ttys {usb(ftdi, 0, 1, noUdev), usb(prolific, 1, 2, noUdev)} << "ttyUSB0"
        << Ttys {usb(ftdi, 2, 3, noUdev)} << "ttyUSB2" << QStringList();
    QTest::newRow("no udev, identical adapters: the one back on its USB path")
        << twoBare << "ttyUSB0" << Ttys {usb(prolific, 2, 1, noUdev)} << "ttyUSB2" << QStringList();
    QTest::newRow("no udev, identical adapters: back on another USB path, refused")
        << twoBare << "ttyUSB0" << Ttys {usb(prolific, 2, 3, noUdev)} << ""
        << QStringList {"ttyUSB1", "ttyUSB2"};
    QTest::newRow("built-in UART: its device file, whatever number it has")
        << Ttys {uart(0, 4)} << "ttyS0" << Ttys {usb(ftdi, 0, 1, udev), uart(0, 4)} << "ttyS0"
        << QStringList();
}

void TestSerialPorts::resumingOnIdenticalAdapters()
{
    QFETCH(QList<FakeTty>, before);
    QFETCH(QString, lost);
    QFETCH(QList<FakeTty>, after);
    QFETCH(QString, opens);
    QFETCH(QStringList, alike);
    FakeDeviceTree tree;
    PtyDevice first, returning;
    QVERIFY(tree.isValid() && first.isValid() && returning.isValid());
    for (FakeTty tty : before) {
        tty.target = tty.name == lost ? first.slavePath() : QString();
        QVERIFY(tree.add(tty));
    }
    qunsetenv("KAVREL_COM1");
    MSComm comm;
    comm.setSettings(QStringLiteral("9600N81"));
    QVERIFY2(comm.setPortOpen(true), qPrintable(comm.errorString()));
    QCOMPARE(comm.devicePath(), tree.path("dev/" + lost));
    first.closeMaster();
    QTRY_COMPARE(comm.CommEvent(), MSComm::comEventDeviceGone);
    comm.setPortOpen(false);
    QVERIFY(tree.unplug(lost));
    for (FakeTty tty : after) {
        tty.target = tty.name == opens ? returning.slavePath() : QString();
        QVERIFY(tree.add(tty));
    }

    const bool opened = comm.setPortOpen(true);
    QStringList named; // the devices the refusal lists, one a line
    const QString dev = tree.path("dev/");
    for (const QString &line : comm.errorString().split(u'\n')) {
        if (line.startsWith(dev))
            named << line.mid(dev.size()).section(u' ', 0, 0);
    }
    named.sort();
    QCOMPARE(named, alike);
    QCOMPARE(opened, !opens.isEmpty());
    QCOMPARE(comm.devicePath(), tree.path("dev/" + (opened ? opens : lost)));
    comm.setPortOpen(false);
}

void TestSerialPorts::portMenuAndStart()
{
    FakeDeviceTree tree;
    WindowOnPty window;
    PtyDevice returning; // the adapter once it is back under another number
    QVERIFY(tree.isValid() && window.isValid() && returning.isValid());
    FakeTty adapter = renamed(ftdi, "ttyUSB0", ftdi.byId);
    adapter.target = window.device().slavePath();
    QVERIFY(tree.add(adapter) && tree.add(uart(0, 4)));
    qunsetenv("KAVREL_COM1");
    qputenv("KAVREL_COM3", "/dev/ttyV0");
    Form1 &form = window.form();

    QVERIFY(form.RS[0]->toolTipsVisible());
    emit form.RS[0]->aboutToShow();
    QStringList tips {tree.path("dev/ttyUSB0") + " \u2014 FT232R USB UART (A10K3XYZ)",
                      tree.path("dev/ttyS0"), "/dev/ttyV0 \u2014 KAVREL_COM3"};
    while (tips.size() < 8)
        tips << "no device";
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(form.Port[i]->toolTip(), tips[i]);
        QCOMPARE(form.Port[i]->statusTip(), tips[i]);
    }

    // Unplugged: Start does not open the UART that now has port 1 in its place.
    QVERIFY(window.start());
    ModalAnswerer answerer;
    answerer.answerMessage(QMessageBox::Ok);
    window.device().closeMaster();
    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(answerer.shown().last().text, QStringLiteral("Communication Error 1011 !"));
    QVERIFY(tree.unplug(adapter.name));
    answerer.answerMessage(QMessageBox::Ok);
    QVERIFY(!window.start());
    QVERIFY(answerer.waitAllAnswered());
    QVERIFY2(answerer.shown().last().informativeText.contains("has not come back"),
             qPrintable(answerer.shown().last().informativeText));
    QCOMPARE(form.MSComm1->devicePath(), tree.path("dev/ttyUSB0"));

    // Back as ttyUSB1, with another adapter plugged in meanwhile whose name sorts first: Start
    // finds the same adapter by its by-id name.
    QVERIFY(tree.add(renamed(prolific, "ttyUSB2", "usb-1a86_USB_Serial-if00-port0")));
    adapter.name = "ttyUSB1";
    adapter.target = returning.slavePath();
    QVERIFY(tree.add(adapter));
    QVERIFY(window.start());
    QCOMPARE(form.MSComm1->devicePath(), tree.path("dev/ttyUSB1"));
    emit form.RS[0]->aboutToShow();
    QVERIFY(form.Port[0]->toolTip().startsWith(tree.path("dev/ttyUSB2")));
    QVERIFY(form.Port[1]->toolTip().startsWith(tree.path("dev/ttyUSB1")));

    // Gone again, and port 1 chosen again: the user means the device that has number 1 now.
    returning.closeMaster();
    answerer.answerMessage(QMessageBox::Ok);
    QVERIFY(answerer.waitAllAnswered());
    QVERIFY(tree.unplug(adapter.name));
    form.Port[0]->trigger();
    answerer.answerMessage(QMessageBox::Ok); // the fake adapter is no terminal
    QVERIFY(!window.start());
    QVERIFY(answerer.waitAllAnswered());
    QCOMPARE(form.MSComm1->devicePath(), tree.path("dev/ttyUSB2"));

    // A number with nothing behind it: the usual box, and what to do about it.
    QVERIFY(WindowOnPty::choose(form.Port[3]));
    answerer.answerMessage(QMessageBox::Ok);
    QVERIFY(!window.start());
    QVERIFY(answerer.waitAllAnswered());
    const ShownDialog &box = answerer.shown().last();
    QCOMPARE(box.text, QStringLiteral("Can not Open !\nPlease check Com Port !"));
    QVERIFY2(box.informativeText.startsWith("No serial device is present for port 4.")
                 && box.informativeText.contains("KAVREL_COM4="),
             qPrintable(box.informativeText));
    QVERIFY(window.portClosedAsShown());
}

QTEST_MAIN(TestSerialPorts)
#include "tst_serialports.moc"
