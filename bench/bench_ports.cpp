// Listing figures: what the Port numbers stand for on this machine and on fake trees, and what
// one listing costs (it runs each time the Port menu opens and at Start).
//   bench_ports [runs]     default: 1000
#include "serial/SerialPorts.h"
#include "tests/support/FakeDeviceTree.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void printListing(const char *title, const QString &root)
{
    std::printf("%s\n", title);
    const QList<SerialDevice> present = listSerialDevices(root);
    if (present.isEmpty())
        std::printf("  (no serial device)\n");
    for (qsizetype i = 0; i < present.size(); ++i) {
        const SerialDevice &device = present.at(i);
        std::printf("  port %lld: %s\n", static_cast<long long>(i + 1),
                    qPrintable(device.description()));
        if (!device.stablePath.isEmpty())
            std::printf("          by-id %s\n", qPrintable(device.stablePath));
        // How Start finds it again after it went away.
        const DeviceIdentity &identity = device.identity;
        const QString knownBy = identity.kind.isEmpty() ? QStringLiteral("its device file")
            : identity.uniqueKind
            ? QStringLiteral("its kind, in any USB port")
            : QStringLiteral("USB port %1 (%2)")
                  .arg(identity.usbPort,
                       identity.byPath.isEmpty() ? QStringLiteral("sysfs") : identity.byPath);
        std::printf("          known by %s\n", qPrintable(knownBy));
    }
}

void timeListing(const char *title, const QString &root, int runs)
{
    std::vector<double> ms;
    ms.reserve(size_t(runs));
    qsizetype found = 0;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        found = listSerialDevices(root).size();
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double ninety = ms[ms.size() * 9 / 10];
    std::printf("%-44s %2lld devices  median %.3f  90%% %.3f  max %.3f ms (%d runs)\n", title,
                static_cast<long long>(found), median, ninety, ms.back(), runs);
}

const FakeTty usbDevices[] = {
    {.name = "ttyUSB1",
     .byId = "usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0",
     .manufacturer = "FTDI",
     .product = "FT232R USB UART",
     .serial = "A10K3XYZ"},
    {.name = "ttyUSB0",
     .byId = "usb-Prolific_Technology_Inc._USB-Serial_Controller_D-if00-port0",
     .manufacturer = "Prolific Technology Inc.",
     .product = "USB-Serial Controller D"},
    {.name = "ttyACM0",
     .byId = "usb-Raspberry_Pi_Pico_E6614103E7452D2F-if00",
     .manufacturer = "Raspberry Pi",
     .product = "Pico",
     .serial = "E6614103E7452D2F"},
};

// The USB devices, 64 consoles, and uartSlots ttyS slots; the first `real` have a UART behind.
bool build(FakeDeviceTree &tree, int uartSlots, int real)
{
    bool made = tree.isValid();
    for (const FakeTty &tty : usbDevices)
        made = made && tree.add(tty);
    for (int i = 0; i < 64; ++i)
        made = made && tree.add({.name = QStringLiteral("tty%1").arg(i)});
    for (int i = 0; i < uartSlots; ++i)
        made = made
            && tree.add({.name = QStringLiteral("ttyS%1").arg(i), .uartType = i < real ? 4 : 0});
    return made;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 1000;

    printListing("This machine:", QStringLiteral("/"));
    FakeDeviceTree exampleTree;
    if (!build(exampleTree, 4, 1)) {
        std::fprintf(stderr, "bench_ports: the fake tree could not be made\n");
        return 1;
    }
    printListing(qPrintable(QStringLiteral("Fake tree (two adapters, one CDC device, one real and "
                                           "three placeholder UARTs) at %1:")
                                .arg(exampleTree.root())),
                 exampleTree.root());

    FakeDeviceTree twinsTree;
    FakeTty twin = usbDevices[1];
    bool twinsMade = twinsTree.isValid();
    for (int i = 0; i < 2; ++i) {
        twin.name = QStringLiteral("ttyUSB%1").arg(i);
        twin.byPath = true;
        twinsMade = twinsMade && twinsTree.add(twin);
    }
    if (!twinsMade) {
        std::fprintf(stderr, "bench_ports: the fake tree could not be made\n");
        return 1;
    }
    printListing("Fake tree (two identical adapters without serial number):", twinsTree.root());

    FakeDeviceTree slotsTree;
    FakeDeviceTree realTree;
    if (!build(slotsTree, 32, 1) || !build(realTree, 32, 32)) {
        std::fprintf(stderr, "bench_ports: the fake trees could not be made\n");
        return 1;
    }
    std::printf("\nOne listing:\n");
    timeListing("this machine", QStringLiteral("/"), runs);
    timeListing("fake: 3 USB, 32 ttyS (1 real), 64 consoles", slotsTree.root(), runs);
    timeListing("fake: 3 USB, 32 ttyS (all real), 64 consoles", realTree.root(), runs);
    return 0;
}
