// The serial devices this machine has, found in /dev and /sys without opening any of them, and
// the device each port number stands for.
#pragma once

#include <QList>
#include <QString>

struct SerialDevice
{
    QString name; // the kernel's name: ttyUSB0, ttyACM0, ttyS0
    QString node; // the device file to open, /dev/ttyUSB0
    QString stablePath; // its /dev/serial/by-id/ link; empty where the system made none
    // A USB device's own names, as the system reports them; empty for a built-in UART.
    QString manufacturer;
    QString product;
    QString serialNumber;

    // "/dev/ttyUSB0 — FT232R USB UART (A10K3XYZ)", or the device file alone.
    QString description() const;
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
    QString identity {}; // its by-id link, which names it whatever number it has; may be empty
    bool configured = false; // named by KAVREL_COM<port>
};

// KAVREL_COM<port> when it is set, else the port-th device of present.
PortDevice portDevice(int port, const QList<SerialDevice> &present);
