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
/// do the processes CompetesForLine lets be. Processes whose descriptors
/// this user may not inspect are not seen.
std::optional<DeviceHolder> FindOtherHolder(int fd);

/// What another process has open, as far as one device is concerned.
struct HolderFacts {
    std::string program;        // its name (Linux: /proc/PID/comm)
    bool opensDevice = false;   // a descriptor on the device itself
    bool writesDevice = false;  // one of those open for writing
    bool servesPty = false;     // the master side of the device's pseudo-terminal
};

/// Linux's major number of the rfcomm ttys (/dev/rfcommN).
constexpr unsigned kRfcommMajor = 216;

/// Whether such a process competes for the line, so the port refuses to
/// open: it has the device open, and is neither the line's far end (it holds
/// the master side of the device's pseudo-terminal, and keeps its slave open
/// to hold the line's settings) nor BlueZ's `rfcomm` program holding
/// read-only the rfcomm device (major `deviceMajor` == kRfcommMajor) whose
/// link it keeps up (`rfcomm connect N ADDR` holds /dev/rfcommN open for as
/// long as the link lasts and never reads it).
bool CompetesForLine(const HolderFacts& holder, unsigned deviceMajor);

}  // namespace vostrel::platform::detail
