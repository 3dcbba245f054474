// From what a user calls a brick (its Bluetooth name or address) to the
// address to connect, with what BlueZ knows to explain a refusal.
#include <algorithm>
#include <cctype>

#include "vostrel/bluetooth.hpp"
#include "vostrel/escaped_text.hpp"
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

// Names come from whatever device is in radio range: shown escaped and
// bounded in every text.
constexpr std::size_t kShownName = 64;
// How many devices a refusal lists before it counts the rest.
constexpr std::size_t kListed = 5;

std::string Quoted(std::string_view name) { return '"' + EscapedText(name, kShownName) + '"'; }

std::string Describe(const BluetoothDevice& d) {
    return Quoted(d.name) + " " + d.address + (d.paired ? "" : " (not paired)");
}

// "a, b, c and 12 more: see `vostrel ports`", at most kListed shown.
template <typename List, typename Show>
std::string Bounded(const List& items, const std::string& separator, Show show) {
    std::string text;
    for (std::size_t i = 0; i < items.size() && i < kListed; ++i)
        text += (i ? separator : "") + show(items[i]);
    if (items.size() > kListed)
        text += " and " + std::to_string(items.size() - kListed) + " more: see `vostrel ports`";
    return text;
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
    const std::string asked = Quoted(nameOrAddress);
    if (!listing.unavailable.empty())
        throw Error(err::kPortInvalid, "cannot look up the brick " + asked + ": " +
                                           listing.unavailable +
                                           "; name it by its Bluetooth address instead");
    // Only entries with an address can be connected; paired ones first.
    std::vector<const BluetoothDevice*> paired, unpaired, known;
    for (const auto& d : listing.devices)
        if (IsBluetoothAddress(d.address) && d.name == nameOrAddress)
            (d.paired ? paired : unpaired).push_back(&d);
    for (const bool p : {true, false})
        for (const auto& d : listing.devices)
            if (IsBluetoothAddress(d.address) && d.paired == p) known.push_back(&d);
    if (paired.size() == 1) return Upper(paired.front()->address);
    if (paired.size() > 1)
        throw Error(err::kPortInvalid,
                    std::to_string(paired.size()) + " paired devices are named " + asked + ": " +
                        Bounded(paired, " ", [](const auto* d) { return d->address; }) +
                        "; name the brick by its address instead");
    if (!unpaired.empty())
        throw Error(err::kPortInvalid, "the brick " + asked + " (" + unpaired.front()->address +
                                           ") is not paired with this computer: " +
                                           PairHint(unpaired.front()->address));
    const std::string text = "no paired Bluetooth device is named " + asked + "; ";
    if (known.empty())
        throw Error(err::kPortInvalid,
                    text + "BlueZ knows no devices (pair the brick first: see `bluetoothctl`)");
    throw Error(err::kPortInvalid, text + "BlueZ knows: " + Bounded(known, ", ", [](const auto* d) {
                                       return Describe(*d);
                                   }));
}

std::string PortArgument(const BluetoothDevice& device, const BluetoothListing& listing) {
    // A name that is not plain printable text cannot be typed safely.
    if (!device.paired || device.name.empty() || EscapedText(device.name) != device.name ||
        device.name.find('/') != std::string::npos || IsBluetoothAddress(device.name) ||
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
        throw Error(err::kDeviceIo, "the brick " + Quoted(it->name) + " (" + address +
                                        ") is not paired with this computer: " + PairHint(address));
    if (const auto* a = FindAdapter(listing, it->adapter); a && !a->powered)
        throw Error(
            err::kDeviceIo,
            "the Bluetooth adapter " + a->name +
                " the brick is paired with is off: turn it on with `bluetoothctl power on`");
}

}  // namespace vostrel::platform
