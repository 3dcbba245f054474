// The serial devices present on this machine, for `vostrel ports`.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vostrel::tool {

struct SerialDevice {
    std::string path;        // /dev/rfcomm0
    bool bluetooth = false;  // an RFCOMM (Bluetooth serial) device
    std::optional<int> port; // the port number that maps to it, where one does
    std::string driver;      // the kernel driver's name, where known
};

/// One entry of Windows' serial-comm device map (registry key
/// HARDWARE\DEVICEMAP\SERIALCOMM): the device's name ("\Device\Serial0",
/// "\Device\BthModem2", ...) and its port name ("COM5"). The path is
/// "\\.\COM5", the port number 5; Bluetooth when the name says so
/// (BthModem, BTHENUM). Nothing when the port name is no COM port.
std::optional<SerialDevice> ComPortEntry(const std::string& deviceName, const std::string& portName);

/// Windows: the COM ports in the serial-comm device map, by port number.
std::vector<SerialDevice> ListComPorts();

/// Devices listed under `sysTty` (the kernel's tty class) that stand for a
/// real line: RFCOMM devices, and ttys backed by hardware (a UART that the
/// kernel found, a USB serial adapter, ...). Paths are under `dev`. Sorted
/// by path, numbers in order. An unreadable `sysTty` gives an empty list.
std::vector<SerialDevice> ListSerialDevices(const std::string& sysTty = "/sys/class/tty",
                                            const std::string& dev = "/dev");

}  // namespace vostrel::tool
