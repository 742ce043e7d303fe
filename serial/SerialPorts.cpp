// Listing the serial devices present: /dev/serial/by-id and /sys/class/tty are read, no device
// is opened, so the listing never waits for hardware.
#include "serial/SerialPorts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>

namespace {

QString &rootOverride()
{
    static QString root;
    return root;
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Unsorted);
}

QString readAttribute(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(256)).trimmed();
}

// Kernel names as people count them: ttyS2 before ttyS10.
bool kernelOrder(const SerialDevice &a, const SerialDevice &b)
{
    const auto key = [](const QString &name) {
        qsizetype digits = name.size();
        while (digits > 0 && name.at(digits - 1).isDigit())
            --digits;
        return std::pair(QStringView(name).left(digits), QStringView(name).mid(digits).toULong());
    };
    return key(a.name) < key(b.name);
}

// The USB device a tty belongs to is its nearest ancestor in sysfs with a vendor id: the
// interface's parent for a CDC device, one step further up for an adapter's port.
bool readUsbNames(const QString &ttyFolder, const QString &sysDevices, SerialDevice &device)
{
    if (sysDevices.isEmpty())
        return false;
    QString path = QFileInfo(ttyFolder + QStringLiteral("/device")).canonicalFilePath();
    QString below = path; // the interface, on the way up
    while (path.startsWith(sysDevices + u'/')) {
        if (QFileInfo::exists(path + QStringLiteral("/idVendor"))) {
            device.manufacturer = readAttribute(path + QStringLiteral("/manufacturer"));
            device.product = readAttribute(path + QStringLiteral("/product"));
            device.serialNumber = readAttribute(path + QStringLiteral("/serial"));
            // One adapter may have several ports, on several interfaces or on one.
            const QString port = readAttribute(ttyFolder + QStringLiteral("/device/port_number"));
            DeviceIdentity &identity = device.identity;
            identity.kind = QStringList {readAttribute(path + QStringLiteral("/idVendor")),
                                         readAttribute(path + QStringLiteral("/idProduct")),
                                         device.manufacturer,
                                         device.product,
                                         device.serialNumber,
                                         QFileInfo(below).fileName().section(u':', 1),
                                         port}
                                .join(u'|');
            identity.usbPath = below.mid(sysDevices.size() + 1) + u'#' + port;
            identity.usbPort = QFileInfo(path).fileName();
            return true;
        }
        below = path;
        path.truncate(path.lastIndexOf(u'/'));
    }
    return false;
}

// Link name by the device file name it points to, for one of udev's folders of links. udev may
// give a device two by-path names (an older and a newer form): the first in name order is
// taken, so a device has the same one at every listing.
QHash<QString, QString> linksByDevice(const QString &folder)
{
    QStringList names = entriesOf(folder);
    std::sort(names.begin(), names.end());
    QHash<QString, QString> links;
    for (const QString &link : names) {
        const QString device
            = QFileInfo(QFileInfo(folder + u'/' + link).symLinkTarget()).fileName();
        if (!links.contains(device))
            links.insert(device, link);
    }
    return links;
}

bool samePlace(const DeviceIdentity &a, const DeviceIdentity &b)
{
    if (!a.byPath.isEmpty() && !b.byPath.isEmpty())
        return a.byPath == b.byPath;
    return !a.usbPath.isEmpty() && a.usbPath == b.usbPath;
}

} // namespace

QString SerialDevice::description() const
{
    const QString label = product.isEmpty() ? manufacturer : product;
    if (label.isEmpty())
        return node;
    QString text = QStringLiteral("%1 \u2014 %2").arg(node, label);
    if (!serialNumber.isEmpty())
        text += QStringLiteral(" (%1)").arg(serialNumber);
    return text;
}

QString SerialDevice::descriptionWithPlace() const
{
    if (identity.usbPort.isEmpty())
        return description();
    return QCoreApplication::translate("SerialPorts", "%1, USB port %2")
        .arg(description(), identity.usbPort);
}

QList<SerialDevice> listSerialDevices(const QString &root)
{
    const QDir top(root);
    const QString dev = top.filePath(QStringLiteral("dev"));
    const QString ttyClass = top.filePath(QStringLiteral("sys/class/tty"));
    const QString sysDevices
        = QFileInfo(top.filePath(QStringLiteral("sys/devices"))).canonicalFilePath();

    QList<SerialDevice> named;
    QSet<QString> seen;
    const QString byId = dev + QStringLiteral("/serial/by-id");
    QStringList links = entriesOf(byId);
    std::sort(links.begin(), links.end());
    for (const QString &link : links) {
        SerialDevice device;
        device.stablePath = byId + u'/' + link;
        // Found by its link, opened through the device file the link names now: a reconnected
        // adapter may have another kernel name, and other programs' lock files are named after
        // the device file, not the link.
        device.node = QFileInfo(device.stablePath).symLinkTarget();
        device.name = QFileInfo(device.node).fileName();
        if (device.node.isEmpty() || seen.contains(device.name) || !QFileInfo::exists(device.node))
            continue;
        seen.insert(device.name);
        if (!readUsbNames(ttyClass + u'/' + device.name, sysDevices, device))
            device.identity.kind = link;
        named.append(device);
    }

    QList<SerialDevice> unnamed;
    QList<SerialDevice> uarts;
    for (const QString &name : entriesOf(ttyClass)) {
        const QString folder = ttyClass + u'/' + name;
        // Consoles have no device behind them.
        if (seen.contains(name) || !QFileInfo::exists(folder + QStringLiteral("/device")))
            continue;
        SerialDevice device;
        device.name = name;
        device.node = dev + u'/' + name;
        if (!QFileInfo::exists(device.node))
            continue;
        // The kernel keeps ttyS nodes for UARTs that may not exist; it knows no type for those.
        bool isNumber = false;
        const int type = readAttribute(folder + QStringLiteral("/type")).toInt(&isNumber);
        if (isNumber) {
            device.identity.node = device.node;
            if (type != 0)
                uarts.append(device);
        } else if (readUsbNames(folder, sysDevices, device)) {
            unnamed.append(device);
        }
    }
    std::sort(unnamed.begin(), unnamed.end(), kernelOrder);
    std::sort(uarts.begin(), uarts.end(), kernelOrder);

    QList<SerialDevice> all = named + unnamed + uarts;
    const QHash<QString, QString> byPath = linksByDevice(dev + QStringLiteral("/serial/by-path"));
    QHash<QString, int> kinds;
    for (SerialDevice &device : all) {
        device.identity.byPath = byPath.value(device.name);
        ++kinds[device.identity.kind];
    }
    for (SerialDevice &device : all)
        device.identity.uniqueKind = kinds.value(device.identity.kind) == 1;
    return all;
}

QList<SerialDevice> listSerialDevices()
{
    const QString &root = rootOverride();
    return listSerialDevices(root.isEmpty() ? QStringLiteral("/") : root);
}

void overrideSerialDeviceRoot(const QString &root)
{
    rootOverride() = root;
}

PortDevice portDevice(int port, const QList<SerialDevice> &present)
{
    const QByteArray variable = "KAVREL_COM" + QByteArray::number(port);
    QString configured = qEnvironmentVariable(variable.constData());
    if (!configured.isEmpty()) {
#ifndef Q_OS_WIN
        // A bare name is a device in /dev, as serial tools take it; a relative path is taken from
        // the current folder. Either way the path shown is the one opened.
        if (!configured.contains(u'/')) {
            configured.prepend(QStringLiteral("/dev/"));
        } else if (QDir::isRelativePath(configured)) {
            configured = QDir::currentPath() + u'/'
                + (configured.startsWith(QStringLiteral("./")) ? configured.mid(2) : configured);
        }
#endif
        return {.path = configured,
                .description
                = QStringLiteral("%1 \u2014 %2").arg(configured, QLatin1String(variable)),
                .configured = true};
    }
#ifdef Q_OS_WIN
    Q_UNUSED(present);
    const QString name = QStringLiteral("COM%1").arg(port);
    return {.path = name, .description = name};
#else
    if (port >= 1 && port <= present.size())
        return portDevice(present.at(port - 1));
    return {.description = QCoreApplication::translate("SerialPorts", "no device")};
#endif
}

PortDevice portDevice(const SerialDevice &device)
{
    return {.path = device.node, .description = device.description(), .identity = device.identity};
}

DeviceSearch findDevice(const DeviceIdentity &identity, const QList<SerialDevice> &present)
{
    DeviceSearch search;
    if (identity.kind.isEmpty()) {
        for (const SerialDevice &device : present) {
            if (!identity.node.isEmpty() && device.node == identity.node)
                search.found = device;
        }
        return search;
    }
    QList<SerialDevice> here; // of its kind, in the USB port it was in
    for (const SerialDevice &device : present) {
        if (device.identity.kind != identity.kind)
            continue;
        search.alike.append(device);
        if (samePlace(device.identity, identity))
            here.append(device);
    }
    if (here.size() == 1 || (identity.uniqueKind && search.alike.size() == 1)) {
        search.found = here.size() == 1 ? here.first() : search.alike.first();
        search.alike.clear();
    }
    return search;
}
