// Port numbers to device paths.
#include "vostrel/platform.hpp"

namespace vostrel::platform {

PortMap::PortMap() = default;

void PortMap::Map(Integer port, std::string devicePath) {
    // The system would take the path only up to its NUL: another device.
    if (devicePath.find('\0') != std::string::npos)
        throw Error(err::kPortInvalid,
                    "the device path of port " + std::to_string(port) + " contains a NUL byte");
    mapped_[port] = std::move(devicePath);
}

std::string PortMap::Path(Integer port) const {
    std::string path;
    if (auto it = mapped_.find(port); it != mapped_.end()) {
        path = it->second;
    } else {
#if defined(_WIN32)
        // The \\.\ form names every COM port, also those above COM9.
        if (port >= 1) path = "\\\\.\\COM" + std::to_string(port);
#else
        if (port >= 0) path = "/dev/rfcomm" + std::to_string(port);
#endif
    }
    if (path.empty()) throw Error(err::kPortInvalid, "no device for port " + std::to_string(port));
    return path;
}

}  // namespace vostrel::platform
