// `vostrel ports`: the serial devices present.
#include "tool/commands.hpp"
#include "tool/serial_devices.hpp"

namespace vostrel::tool {

int RunPorts(std::ostream& out) {
    const auto devices = ListSerialDevices();
    if (devices.empty()) {
        out << "No serial devices found. Bind a paired brick with `rfcomm bind 0 <address>` (see README).\n";
        return 0;
    }
    for (const auto& d : devices) {
        out << d.path << (d.bluetooth ? "  bluetooth" : "  serial");
        if (!d.driver.empty() && !d.bluetooth) out << " (" << d.driver << ")";
        if (d.port) out << "  port " << *d.port;
        else out << "  use -p " << d.path;
        out << '\n';
    }
    return 0;
}

}  // namespace vostrel::tool
