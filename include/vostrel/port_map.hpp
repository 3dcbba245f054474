// Port numbers as the control's ConnectNXT takes them, and the devices they
// open on this system.
#pragma once

#include <map>
#include <string>

#include "vostrel/types.hpp"

namespace vostrel::platform {

/// Port number -> device path. Default: N -> "/dev/rfcommN" on Linux (N from
/// 0), "\\.\COMN" on Windows (N from 1; this form also works above COM9).
/// Mapped numbers take precedence over the default.
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
    /// The device of `port`. Throws Error(err::kPortInvalid) when it has none
    /// (a negative number, zero on Windows, a removed one).
    std::string Path(Integer port) const;

private:
    std::map<Integer, std::string> mapped_;
};

}  // namespace vostrel::platform
