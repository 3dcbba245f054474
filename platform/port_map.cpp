// Port numbers to device paths and bricks.
#include "vostrel/platform.hpp"

namespace vostrel::platform {

PortMap::PortMap() = default;

void PortMap::Map(Integer port, std::string devicePath) {
    // The system would take the path only up to its NUL: another device.
    if (devicePath.find('\0') != std::string::npos)
        throw Error(err::kPortInvalid,
                    "the device path of port " + std::to_string(port) + " contains a NUL byte");
    mapped_[port] = PortTarget{std::move(devicePath), {}};
}

void PortMap::MapBrick(Integer port, std::string nameOrAddress) {
    if (nameOrAddress.find('\0') != std::string::npos)
        throw Error(err::kPortInvalid,
                    "the brick named for port " + std::to_string(port) + " contains a NUL byte");
    mapped_[port] = PortTarget{{}, std::move(nameOrAddress)};
}

void PortMap::MapText(Integer port, const std::string& text) {
#if defined(_WIN32)
    Map(port, text);  // COM5, \\.\COM12: Windows names its Bluetooth ports itself
#else
    if (text.empty() || text.find('/') != std::string::npos)
        Map(port, text);
    else
        MapBrick(port, text);
#endif
}

PortTarget PortMap::Target(Integer port) const {
    PortTarget target;
    if (auto it = mapped_.find(port); it != mapped_.end()) {
        target = it->second;
    } else {
#if defined(_WIN32)
        // The \\.\ form names every COM port, also those above COM9.
        if (port >= 1) target.device = "\\\\.\\COM" + std::to_string(port);
#else
        if (port >= 0) target.device = "/dev/rfcomm" + std::to_string(port);
#endif
    }
    if (target.device.empty() && target.brick.empty())
        throw Error(err::kPortInvalid, "no device for port " + std::to_string(port));
    return target;
}

std::string PortMap::Path(Integer port) const {
    PortTarget target = Target(port);
    if (target.device.empty())
        throw Error(err::kPortInvalid, "port " + std::to_string(port) + " names the brick \"" +
                                           target.brick + "\", not a device");
    return target.device;
}

}  // namespace vostrel::platform
