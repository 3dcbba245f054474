// Port numbers as the control's ConnectNXT takes them, and the devices they
// open on this system.
#pragma once

#include <map>
#include <string>

#include "vostrel/types.hpp"

namespace vostrel::platform {

/// What one port number names: a device, or (Linux) a brick reached over
/// Bluetooth. Exactly one of the two is set.
struct PortTarget {
    std::string device;  // a device path
    std::string brick;   // a Bluetooth address or a brick's Bluetooth name
};

/// Port number -> device path or brick. Default: N -> "/dev/rfcommN" on
/// Linux (N from 0), "\\.\COMN" on Windows (N from 1; this form also works
/// above COM9). Mapped numbers take precedence over the default.
class PortMap {
public:
    PortMap();
    /// Maps `port` to `devicePath` (a pseudo-terminal, /dev/ttyUSB0,
    /// "\\.\COM12", ...), replacing the default or an earlier mapping. An
    /// empty path removes the number: it then names no device at all.
    /// Throws Error(err::kPortInvalid) for a path containing a NUL byte (the
    /// system would open the device named by its part before the NUL); the
    /// map is then unchanged.
    void Map(Integer port, std::string devicePath);
    /// Linux: maps `port` to a brick named by its Bluetooth address
    /// ("00:16:53:0A:1B:2C") or its Bluetooth name ("NXT", looked up among
    /// the paired devices when the port opens). The port then opens an
    /// RFCOMM link to it, with no /dev/rfcomm device. Elsewhere the port
    /// refuses to open such a target (kPortInvalid).
    void MapBrick(Integer port, std::string nameOrAddress);
    /// Maps `port` to what a user typed: a text with a '/' is a device path
    /// (a device in the current directory is "./name"); on Linux an address
    /// or any other text names a brick. On Windows every text is a device.
    void MapText(Integer port, const std::string& text);
    /// What `port` names. Throws Error(err::kPortInvalid) when nothing (a
    /// negative number, zero on Windows, a removed one).
    PortTarget Target(Integer port) const;
    /// The device of `port`. Throws Error(err::kPortInvalid) when it has none
    /// (a negative number, zero on Windows, a removed one, a brick).
    std::string Path(Integer port) const;

private:
    std::map<Integer, PortTarget> mapped_;
};

}  // namespace vostrel::platform
