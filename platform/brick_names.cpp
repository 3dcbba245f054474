// From what a user calls a brick (its Bluetooth name or address) to the
// address to connect, with what BlueZ knows to explain a refusal.
#include <algorithm>
#include <cctype>

#include "vostrel/bluetooth.hpp"
#include "vostrel/types.hpp"

namespace vostrel::platform {

namespace {

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

std::string PairHint(const std::string& address) {
    return "pair it once with `bluetoothctl pair " + address +
           "` (the brick's PIN is 1234 unless it was changed)";
}

std::string Describe(const BluetoothDevice& d) {
    return "\"" + d.name + "\" " + d.address + (d.paired ? "" : " (not paired)");
}

const BluetoothAdapter* FindAdapter(const BluetoothListing& listing, const std::string& name) {
    for (const auto& a : listing.adapters)
        if (a.name == name) return &a;
    return nullptr;
}

}  // namespace

bool IsBluetoothAddress(std::string_view text) {
    if (text.size() != 17) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool colon = i % 3 == 2;
        if (colon ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

std::string ResolveBrick(const std::string& nameOrAddress, const BluetoothListing& listing) {
    if (IsBluetoothAddress(nameOrAddress)) return Upper(nameOrAddress);
    if (!listing.unavailable.empty())
        throw Error(err::kPortInvalid, "cannot look up the brick \"" + nameOrAddress +
                                           "\": " + listing.unavailable +
                                           "; name it by its Bluetooth address instead");
    std::vector<const BluetoothDevice*> paired, unpaired;
    for (const auto& d : listing.devices)
        if (d.name == nameOrAddress) (d.paired ? paired : unpaired).push_back(&d);
    if (paired.size() == 1) return paired.front()->address;
    if (paired.size() > 1) {
        std::string text =
            std::to_string(paired.size()) + " paired devices are named \"" + nameOrAddress + "\":";
        for (const auto* d : paired) text += " " + d->address;
        throw Error(err::kPortInvalid, text + "; name the brick by its address instead");
    }
    if (!unpaired.empty())
        throw Error(
            err::kPortInvalid,
            "the brick \"" + nameOrAddress + "\" (" + unpaired.front()->address +
                ") is not paired with this computer: " + PairHint(unpaired.front()->address));
    std::string text = "no paired Bluetooth device is named \"" + nameOrAddress + "\"; ";
    if (listing.devices.empty())
        throw Error(err::kPortInvalid,
                    text + "BlueZ knows no devices (pair the brick first: see `bluetoothctl`)");
    text += "BlueZ knows:";
    for (std::size_t i = 0; i < listing.devices.size(); ++i)
        text += (i ? ", " : " ") + Describe(listing.devices[i]);
    throw Error(err::kPortInvalid, text);
}

std::string PortArgument(const BluetoothDevice& device, const BluetoothListing& listing) {
    if (!device.paired || device.name.empty() || device.name.find('/') != std::string::npos ||
        IsBluetoothAddress(device.name) ||
        device.name.find_first_not_of("0123456789-") == std::string::npos)
        return device.address;
    const auto same =
        std::count_if(listing.devices.begin(), listing.devices.end(),
                      [&](const auto& d) { return d.paired && d.name == device.name; });
    return same == 1 ? device.name : device.address;
}

void CheckCanReach(const std::string& address, const BluetoothListing& listing) {
    if (!listing.unavailable.empty()) return;
    if (listing.adapters.empty())
        throw Error(err::kDeviceIo, "this computer has no Bluetooth adapter (BlueZ lists none)");
    const auto on = std::find_if(listing.adapters.begin(), listing.adapters.end(),
                                 [](const auto& a) { return a.powered; });
    if (on == listing.adapters.end())
        throw Error(err::kDeviceIo, "the Bluetooth adapter " + listing.adapters.front().name +
                                        " is off: turn it on with `bluetoothctl power on`");
    const auto it = std::find_if(listing.devices.begin(), listing.devices.end(),
                                 [&](const auto& d) { return d.address == address; });
    if (it == listing.devices.end())
        throw Error(err::kDeviceIo, "the brick " + address +
                                        " is not paired with this computer (BlueZ has not seen "
                                        "it): with the brick on, run `bluetoothctl --timeout 15 "
                                        "scan on`, then " +
                                        PairHint(address));
    if (!it->paired)
        throw Error(err::kDeviceIo, "the brick \"" + it->name + "\" (" + address +
                                        ") is not paired with this computer: " + PairHint(address));
    if (const auto* a = FindAdapter(listing, it->adapter); a && !a->powered)
        throw Error(
            err::kDeviceIo,
            "the Bluetooth adapter " + a->name +
                " the brick is paired with is off: turn it on with `bluetoothctl power on`");
}

}  // namespace vostrel::platform
