// Finding another process that has a serial device open, for programs that
// open a device without taking its lock. Internal to the platform layer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

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
    bool servesPty = false;     // the master side of the device's pseudo-terminal (same instance)
};

/// A descriptor's device: the file system its node is on (st_dev) and the
/// device's own numbers (st_rdev).
struct DeviceId {
    unsigned long long fs = 0;
    unsigned long long rdev = 0;
};

/// Whether a descriptor whose /proc/PID/fd link reads `link` names a device
/// node: only those are looked at further. Sockets, pipes, anonymous
/// descriptors and every file outside /dev are never followed, so a file
/// system that no longer answers (a stopped FUSE daemon, a dead NFS server)
/// cannot hold up the search.
bool NamesDevice(std::string_view link);

/// Whether a descriptor on `other` opens the device `own`: the same device
/// numbers, and for a pseudo-terminal the same devpts instance too (each
/// instance, a container's say, numbers its terminals from 0). Any other
/// device is the same wherever its node lies.
bool SameDevice(const DeviceId& own, const DeviceId& other);

/// The devpts instance (as st_dev) that serves the masters opened through
/// the multiplexer `ptmxLink` (its /proc link text), from the mount table of
/// the process holding it (its /proc/PID/mountinfo): the devpts mounted in
/// the multiplexer's own folder, else the one on that folder's "pts" (as the
/// kernel looks it up). nullopt when none is found.
std::optional<unsigned long long> PtmxInstance(std::string_view ptmxLink,
                                               std::string_view mountinfo);

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
