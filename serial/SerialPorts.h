// The serial devices this machine has, found in /dev and /sys without opening any of them, and
// the device each port number stands for.
#pragma once

#include <QList>
#include <QString>

#include <optional>

// What tells a device apart from the other devices present, whatever number it has.
struct DeviceIdentity
{
    // A USB device's vendor and product ids, names, serial number and interface: what its
    // by-id name is made of. Empty for a built-in UART.
    QString kind {};
    bool uniqueKind = false; // no other device present was of its kind
    QString byPath {}; // its /dev/serial/by-path/ name: the USB port it is plugged into
    QString usbPath {}; // the same, read from sysfs where udev made no link
    QString usbPort {}; // the USB port as the kernel names it, 1-1.2
    QString node {}; // a built-in UART is known by its device file
};

struct SerialDevice
{
    QString name; // the kernel's name: ttyUSB0, ttyACM0, ttyS0
    QString node; // the device file to open, /dev/ttyUSB0
    QString stablePath; // its /dev/serial/by-id/ link; empty where the system made none
    // A USB device's own names, as the system reports them; empty for a built-in UART.
    QString manufacturer;
    QString product;
    QString serialNumber;
    DeviceIdentity identity;

    // "/dev/ttyUSB0 — FT232R USB UART (A10K3XYZ)", or the device file alone.
    QString description() const;
    // The description and, for a USB device, the port it is plugged into.
    QString descriptionWithPlace() const;
};

// USB and CDC devices first, in the order of their by-id names (maker, model and serial number,
// so plugging order does not matter), then those without such a name by kernel name, then the
// built-in UARTs the kernel knows a type for. dev/ and sys/ are read under root.
QList<SerialDevice> listSerialDevices(const QString &root);
// The same under "/", or under the folder given to overrideSerialDeviceRoot().
QList<SerialDevice> listSerialDevices();

// Points the listing at a tree of its own (tests); the empty text undoes it.
void overrideSerialDeviceRoot(const QString &root);

struct PortDevice
{
    QString path {}; // empty: nothing behind this number
    QString description {}; // what the Port item shows
    DeviceIdentity identity {};
    bool configured = false; // named by KAVREL_COM<port>
};

// KAVREL_COM<port> when it is set, else the port-th device of present.
PortDevice portDevice(int port, const QList<SerialDevice> &present);
PortDevice portDevice(const SerialDevice &device);

// Where a device that went away is among the devices present now.
struct DeviceSearch
{
    std::optional<SerialDevice> found; // the one device it can be
    QList<SerialDevice> alike; // not found: those present that cannot be told apart from it
};

// A device unique in its kind is found by its kind wherever it is plugged in; one that shared
// its kind with another, or that now does, only in the USB port it was in; a built-in UART
// by its device file.
DeviceSearch findDevice(const DeviceIdentity &identity, const QList<SerialDevice> &present);
