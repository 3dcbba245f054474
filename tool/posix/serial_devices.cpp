// Finding serial devices through the kernel's tty class.
#include "tool/serial_devices.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace vostrel::tool {

namespace fs = std::filesystem;

namespace {
// "ttyS10" sorts after "ttyS9".
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            const std::string na = a.substr(i, ie - i), nb = b.substr(j, je - j);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::optional<int> Suffix(const std::string& name, const std::string& prefix) {
    if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size() || name.size() > prefix.size() + 5) return {};
    const std::string digits = name.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) return {};
    return std::stoi(digits);
}
}  // namespace

std::vector<SerialDevice> ListSerialDevices(const std::string& sysTty, const std::string& dev) {
    std::vector<SerialDevice> found;
    std::error_code ec;
    for (fs::directory_iterator it(sysTty, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const fs::path entry = it->path();
        SerialDevice d;
        d.path = (fs::path(dev) / name).string();
        std::error_code e2;
        if (auto n = Suffix(name, "rfcomm")) {
            d.bluetooth = true;
            d.port = *n;  // the platform layer maps N to /dev/rfcommN
            d.driver = "rfcomm";
        } else {
            // Only ttys backed by a device; virtual consoles and ptys are not.
            if (!fs::exists(entry / "device", e2)) continue;
            // A UART slot the kernel found no chip in reports type 0.
            std::ifstream type(entry / "type");
            int t = -1;
            if (type >> t && t == 0) continue;
            const fs::path driver = entry / "device" / "driver";
            if (fs::is_symlink(driver, e2)) d.driver = fs::read_symlink(driver, e2).filename().string();
        }
        if (!fs::exists(d.path, e2)) continue;
        found.push_back(std::move(d));
    }
    std::sort(found.begin(), found.end(),
              [](const SerialDevice& a, const SerialDevice& b) { return NaturalLess(a.path, b.path); });
    return found;
}

}  // namespace vostrel::tool
