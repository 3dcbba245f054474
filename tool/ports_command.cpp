// `vostrel ports`: the serial devices present, then the Bluetooth devices
// BlueZ knows, each with the -p argument that opens it. Names and paths
// are shown escaped (they may come from any device in radio range); each
// -p value works as typed into a POSIX shell.
#include "tool/commands.hpp"
#include "tool/port_argument.hpp"
#include "tool/serial_devices.hpp"
#include "vostrel/bluetooth.hpp"
#include "vostrel/escaped_text.hpp"

namespace vostrel::tool {

namespace {

// A longer name is cut in the listing; the -p value is then its address.
constexpr std::size_t kShownName = 64;

// The -p value for a device: its name where that is printable, not cut, and
// cannot pass for an option; its address otherwise.
std::string DeviceArgument(const platform::BluetoothDevice& d,
                           const platform::BluetoothListing& listing) {
    const std::string arg = platform::PortArgument(d, listing);
    if (arg.front() == '-' || arg.size() > kShownName) return d.address;
    return ShellWord(arg);
}

}  // namespace

int RunPorts(std::ostream& out) {
    const auto devices = ListSerialDevices();
    if (devices.empty()) out << "No serial devices found.\n";
    for (const auto& d : devices) {
        const std::string shown = EscapedText(d.path);
        out << shown << (d.bluetooth ? "  bluetooth" : "  serial");
        if (!d.driver.empty() && !d.bluetooth) out << " (" << EscapedText(d.driver) << ")";
        if (d.port)
            out << "  port " << *d.port;
        else if (shown == d.path)
            out << "  use -p " << ShellWord(d.path);
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
        out << (d.name.empty() ? "(no name)" : EscapedText(d.name, kShownName)) << "  " << d.address
            << "  " << (d.paired ? "paired" : "not paired") << (d.connected ? ", connected" : "")
            << "  use -p " << DeviceArgument(d, bt);
        if (!d.paired) out << " once paired (bluetoothctl pair " << d.address << ")";
        out << '\n';
    }
    return 0;
}

}  // namespace vostrel::tool
