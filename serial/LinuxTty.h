// The few terminal calls QSerialPort does not offer, on an open port's descriptor. Elsewhere
// than on Linux they report nothing and refuse nothing.
#pragma once

#include "serial/DeviceHolders.h"

#include <QString>
#include <QtGlobal>

#include <optional>

namespace tty {

// Takes the exclusive lock other terminal programs take too; false when another holds it.
bool lockExclusively(int fd);

// The device opened for a look before the port opens it: whether another program holds it,
// whatever name it was opened by and whoever runs this (root opens a device in exclusive mode
// regardless, and opening would change the holder's line settings). Kept open until the port has
// its own descriptor, so the line does not hang up in between; closed when it goes.
class DeviceLook
{
public:
    explicit DeviceLook(const QString &path);
    ~DeviceLook();
    DeviceLook(const DeviceLook &) = delete;
    DeviceLook &operator=(const DeviceLook &) = delete;

    // In exclusive mode, locked or held open by another opener. A device that could not be
    // opened is not busy here: the port's own opening tells why.
    bool busy() const { return m_busy || m_holder; }
    // Another program that has it open without any lock.
    const std::optional<DeviceHolder> &holder() const { return m_holder; }

private:
    int m_fd = -1;
    bool m_busy = false;
    std::optional<DeviceHolder> m_holder;
};

// The line settings the driver really applied, which may not be those asked for.
struct AppliedLine
{
    qint64 baud = 0; // any speed, custom ones included
    int dataBits = 8;
    bool parity = false;
    bool twoStopBits = false;
};
std::optional<AppliedLine> appliedLine(int fd);

// A pseudo-terminal has no framing: it reports 8 data bits and no parity whatever was set.
bool isPseudoTerminal(int fd);

// What the driver still holds for the wire; nothing when it cannot tell (a device gone). A
// pseudo-terminal always says 0, whatever its other end has not read.
std::optional<int> queuedForWire(int fd);

// The line errors a real UART has counted since it was opened; nothing where there are no
// such counters (a pseudo-terminal, a USB adapter whose driver keeps none).
struct LineErrorCounts
{
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufferOverrun = 0;
};
std::optional<LineErrorCounts> lineErrorCounts(int fd);

} // namespace tty
