// A /dev and /sys of its own in a temporary folder, laid out as the kernel and udev lay out
// serial devices; the device listing reads it instead of the machine's while it lives.
#pragma once

#include <QMap>
#include <QMetaType>
#include <QString>
#include <QTemporaryDir>

struct FakeTty
{
    QString name {}; // ttyUSB0, ttyACM0: on USB; ttyS0 and the like: see uartType; tty1
    QString byId {}; // its /dev/serial/by-id/ name, which identical adapters share; empty: none
    QString manufacturer {}, product {}, serial {}; // what its USB device names itself
    int uartType = -1; // 0 and up: a built-in UART slot with this type (0: no UART behind it)
    QString target {}; // what the device file links to (a pseudo-terminal); empty: a plain file
    QString usbPort {}; // the root hub's port a USB device is plugged into; empty: a new one
    bool byPath = false; // udev made a /dev/serial/by-path/ link for it
};
Q_DECLARE_METATYPE(FakeTty)

class FakeDeviceTree
{
public:
    FakeDeviceTree();
    ~FakeDeviceTree();
    FakeDeviceTree(const FakeDeviceTree &) = delete;
    FakeDeviceTree &operator=(const FakeDeviceTree &) = delete;

    bool isValid() const { return m_valid; }
    QString root() const { return m_dir.path(); }
    // A path inside the tree, as "dev/ttyUSB0".
    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    // A by-id name already taken moves to the newest device, as udev moves it.
    bool add(const FakeTty &tty);
    // The device file goes and the udev links to it with it, as when an adapter is pulled
    // out; a by-id name it shared moves to the other device. The rest of sysfs stays behind
    // for a moment, as it does on a real machine.
    bool unplug(const QString &name);

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
    int m_usbDevices = 0;
    QMap<QString, QStringList> m_byIdClaims; // the devices that claim a by-id name, oldest first
};
