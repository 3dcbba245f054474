// `vostrel ports` on Windows: the COM ports in the system's device map.
#include "tool/commands.hpp"
#include "tool/serial_devices.hpp"

namespace vostrel::tool {

int RunPorts(std::ostream& out) {
    const auto ports = ListComPorts();
    if (ports.empty()) {
        out << "No COM ports found. Pair the brick in Bluetooth settings; its outgoing serial port "
               "(COMn) is port n (see README).\n";
        return 0;
    }
    for (const auto& d : ports) {
        out << "COM" << *d.port << (d.bluetooth ? "  bluetooth" : "  serial");
        if (!d.driver.empty()) out << " (" << d.driver << ")";
        out << "  port " << *d.port << '\n';
    }
    return 0;
}

}  // namespace vostrel::tool
