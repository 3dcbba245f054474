// Reading one entry of Windows' serial-comm device map (portable, so the
// rules are tested everywhere).
#include <algorithm>
#include <cctype>

#include "tool/serial_devices.hpp"

namespace vostrel::tool {

namespace {
std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
}  // namespace

std::optional<SerialDevice> ComPortEntry(const std::string& deviceName,
                                         const std::string& portName) {
    const std::string port = Upper(portName);
    if (port.size() < 4 || port.size() > 8 || port.compare(0, 3, "COM") != 0) return {};
    const std::string digits = port.substr(3);
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return {};
    const int number = std::stoi(digits);
    if (number < 1 || number > 32767) return {};
    SerialDevice d;
    d.path = "\\\\.\\COM" + std::to_string(number);
    d.port = number;
    // The device's name, from \Device\Serial0 its driver-ish part "Serial0".
    d.driver = deviceName.substr(deviceName.find_last_of('\\') + 1);
    const std::string name = Upper(deviceName);
    d.bluetooth =
        name.find("BTHMODEM") != std::string::npos || name.find("BTHENUM") != std::string::npos;
    return d;
}

}  // namespace vostrel::tool
