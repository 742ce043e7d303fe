// Other programs holding a device open: a terminal program without any lock (cat, a script)
// would otherwise share the device's input with Kavrel unseen.
#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>
#include <sys/types.h>

namespace tty {

struct DeviceHolder
{
    qint64 pid = 0;
    QString program {};
};

// The first process this user can see, other than Kavrel, with the character device `rdev`
// open under /dev by any name. A pseudo-terminal's other end (a process holding its master,
// as a simulator or a socat link does) is the device itself, not another program. Processes
// whose descriptors cannot be read are passed over.
std::optional<DeviceHolder> otherHolder(dev_t rdev);

} // namespace tty
