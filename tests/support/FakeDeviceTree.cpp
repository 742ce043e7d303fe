// A fake /dev and /sys for the device listing.
#include "tests/support/FakeDeviceTree.h"

#include "serial/SerialPorts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace {

bool writeFile(const QString &path, const QString &text)
{
    QFile file(path);
    const QByteArray content = text.toUtf8() + '\n';
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Relative links, as udev and sysfs make them, so the tree can be read from any root.
bool makeLink(const QString &target, const QString &link)
{
    QFile::remove(link);
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData())
        == 0;
}

} // namespace

FakeDeviceTree::FakeDeviceTree()
{
    const QDir top(m_dir.path());
    m_valid = m_dir.isValid() && top.mkpath(QStringLiteral("dev/serial/by-id"))
        && top.mkpath(QStringLiteral("dev/serial/by-path"))
        && top.mkpath(QStringLiteral("sys/class/tty"));
    if (m_valid)
        overrideSerialDeviceRoot(m_dir.path());
}

FakeDeviceTree::~FakeDeviceTree()
{
    overrideSerialDeviceRoot(QString());
}

bool FakeDeviceTree::add(const FakeTty &tty)
{
    const QString &name = tty.name;
    QString folder; // the tty's own folder under sys/devices
    QString device; // its device link, relative to that folder
    QString usb;
    QString byPath;
    if (tty.uartType > 0) {
        folder = QStringLiteral("pnp0/00:%1/tty/%2").arg(name.mid(4), name);
        device = QStringLiteral("../../../00:%1").arg(name.mid(4));
    } else if (tty.uartType == 0) {
        folder = QStringLiteral("platform/serial8250/tty/") + name;
        device = QStringLiteral("../../../serial8250");
    } else if (name.startsWith(QLatin1String("ttyUSB"))
               || name.startsWith(QLatin1String("ttyACM"))) {
        const QString port = tty.usbPort.isEmpty() ? QString::number(++m_usbDevices) : tty.usbPort;
        usb = QStringLiteral("pci0000:00/0000:00:14.0/usb1/1-") + port;
        const QString usbInterface = QStringLiteral("1-%1:1.0").arg(port);
        byPath = QStringLiteral("pci-0000:00:14.0-usb-0:%1:1.0").arg(port);
        // An adapter's port sits between the interface and the tty; a CDC device has none.
        if (name.startsWith(QLatin1String("ttyUSB"))) {
            folder = QStringLiteral("%1/%2/%3/tty/%3").arg(usb, usbInterface, name);
            device = QStringLiteral("../../../") + name;
            byPath += QStringLiteral("-port0");
        } else {
            folder = QStringLiteral("%1/%2/tty/%3").arg(usb, usbInterface, name);
            device = QStringLiteral("../../../") + usbInterface;
        }
    } else {
        folder = QStringLiteral("virtual/tty/") + name; // a console: no device behind it
    }

    const QDir sys(path(QStringLiteral("sys/devices")));
    if (!sys.mkpath(folder))
        return false;
    const QString ttyFolder = sys.filePath(folder);
    bool made = makeLink(QStringLiteral("../../devices/") + folder,
                         path(QStringLiteral("sys/class/tty/") + name));
    if (!device.isEmpty()) {
        made = made && sys.mkpath(QDir::cleanPath(folder + u'/' + device))
            && makeLink(device, ttyFolder + QStringLiteral("/device"));
    }
    if (tty.uartType >= 0)
        made
            = made && writeFile(ttyFolder + QStringLiteral("/type"), QString::number(tty.uartType));
    if (!usb.isEmpty()) {
        made = made && writeFile(sys.filePath(usb + QStringLiteral("/idVendor")), "0403")
            && writeFile(sys.filePath(usb + QStringLiteral("/idProduct")), "6001");
        const std::pair<const char *, QString> names[] = {
            {"manufacturer", tty.manufacturer}, {"product", tty.product}, {"serial", tty.serial}};
        for (const auto &[file, text] : names) {
            if (!text.isEmpty())
                made = made && writeFile(sys.filePath(usb + u'/' + QLatin1String(file)), text);
        }
    }
    const QString node = path(QStringLiteral("dev/") + name);
    if (!made || !(tty.target.isEmpty() ? writeFile(node, {}) : makeLink(tty.target, node)))
        return false;
    // udev names the port twice: the older name and one with the USB revision.
    const QString byPaths[] = {byPath, QString(byPath).replace("-usb-", "-usbv2-")};
    for (const QString &link : byPaths) {
        if (tty.byPath && !byPath.isEmpty()
            && !makeLink(QStringLiteral("../../") + name,
                         path(QStringLiteral("dev/serial/by-path/") + link)))
            return false;
    }
    if (tty.byId.isEmpty())
        return true;
    m_byIdClaims[tty.byId].append(name);
    return makeLink(QStringLiteral("../../") + name,
                    path(QStringLiteral("dev/serial/by-id/") + tty.byId));
}

bool FakeDeviceTree::unplug(const QString &name)
{
    for (const char *folder : {"dev/serial/by-id", "dev/serial/by-path"}) {
        const QDir links(path(QLatin1String(folder)));
        for (const QString &link :
             links.entryList(QDir::System | QDir::AllEntries | QDir::NoDotAndDotDot)) {
            if (QFileInfo(QFileInfo(links.filePath(link)).symLinkTarget()).fileName() == name)
                QFile::remove(links.filePath(link));
        }
    }
    for (auto claim = m_byIdClaims.begin(); claim != m_byIdClaims.end(); ++claim) {
        claim->removeAll(name);
        const QString link = path(QStringLiteral("dev/serial/by-id/") + claim.key());
        if (!claim->isEmpty() && !QFileInfo(link).isSymLink()
            && !makeLink(QStringLiteral("../../") + claim->last(), link))
            return false;
    }
    return QFile::remove(path(QStringLiteral("dev/") + name));
}
