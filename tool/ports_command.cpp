// `vostrel ports`: the serial devices present, then the Bluetooth devices
// BlueZ knows, each with the -p argument that opens it.
#include "tool/commands.hpp"
#include "tool/serial_devices.hpp"
#include "vostrel/bluetooth.hpp"

namespace vostrel::tool {

int RunPorts(std::ostream& out) {
    const auto devices = ListSerialDevices();
    if (devices.empty()) out << "No serial devices found.\n";
    for (const auto& d : devices) {
        out << d.path << (d.bluetooth ? "  bluetooth" : "  serial");
        if (!d.driver.empty() && !d.bluetooth) out << " (" << d.driver << ")";
        if (d.port)
            out << "  port " << *d.port;
        else
            out << "  use -p " << d.path;
        out << '\n';
    }
    const platform::BluetoothListing bt = platform::ListBluetoothDevices();
    if (!bt.unavailable.empty()) {
        out << "Bluetooth devices not listed: " << bt.unavailable << '\n';
        return 0;
    }
    if (bt.devices.empty()) {
        out << "BlueZ knows no Bluetooth devices: pair the brick first (see docs/linux.md).\n";
        return 0;
    }
    for (const auto& d : bt.devices) {
        out << (d.name.empty() ? "(no name)" : d.name) << "  " << d.address << "  "
            << (d.paired ? "paired" : "not paired") << (d.connected ? ", connected" : "")
            << "  use -p " << platform::PortArgument(d, bt);
        if (!d.paired) out << " once paired (bluetoothctl pair " << d.address << ")";
        out << '\n';
    }
    return 0;
}

}  // namespace vostrel::tool
