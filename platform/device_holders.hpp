// Finding another process that has a serial device open, for programs that
// open a device without taking its lock. Internal to the platform layer.
#pragma once

#include <optional>
#include <string>

namespace vostrel::platform::detail {

struct DeviceHolder {
    long pid = 0;
    std::string name;  // the program's name, "" when unknown
};

/// Another process that has the device behind the open descriptor `fd` open
/// too, or nullopt when none can be seen. This process does not count, nor
/// does a process holding the master side of the same pseudo-terminal (the
/// line's far end, which keeps its slave open to hold the line's settings).
/// Processes whose descriptors this user may not inspect are not seen.
std::optional<DeviceHolder> FindOtherHolder(int fd);

}  // namespace vostrel::platform::detail
