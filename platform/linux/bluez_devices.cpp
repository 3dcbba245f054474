// The Bluetooth devices BlueZ knows, read from its D-Bus object tree
// (ObjectManager.GetManagedObjects on org.bluez) through sd-bus.
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "vostrel/bluetooth.hpp"

namespace vostrel::platform {

namespace {

constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kAdapter = "org.bluez.Adapter1";

struct Bus {
    sd_bus* bus = nullptr;
    ~Bus() { sd_bus_flush_close_unref(bus); }
};
struct Reply {
    sd_bus_message* m = nullptr;
    ~Reply() { sd_bus_message_unref(m); }
};
struct BusError {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&e); }
};

// The properties of one interface that the listing uses.
struct Properties {
    std::map<std::string, std::string> text;
    std::map<std::string, bool> flags;
};

// Reads an a{sv} of properties; values of other types are skipped.
int ReadProperties(sd_bus_message* m, Properties& out) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
        const char* contents = nullptr;
        if ((r = sd_bus_message_peek_type(m, nullptr, &contents)) < 0) return r;
        if (std::strcmp(contents, "s") == 0) {
            const char* s = nullptr;
            if ((r = sd_bus_message_read(m, "v", "s", &s)) < 0) return r;
            out.text[key] = s;
        } else if (std::strcmp(contents, "b") == 0) {
            int b = 0;
            if ((r = sd_bus_message_read(m, "v", "b", &b)) < 0) return r;
            out.flags[key] = b != 0;
        } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
            return r;
        }
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

// "/org/bluez/hci0/dev_00_16_..." -> "hci0"
std::string AdapterOf(const std::string& path) {
    const std::string prefix = "/org/bluez/";
    if (path.rfind(prefix, 0) != 0) return "";
    const std::string rest = path.substr(prefix.size());
    return rest.substr(0, rest.find('/'));
}

// Reads the reply's a{oa{sa{sv}}}.
int ReadObjects(sd_bus_message* m, BluetoothListing& out) {
    int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        if ((r = sd_bus_message_read(m, "o", &path)) < 0) return r;
        if ((r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}")) < 0) return r;
        while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
            const char* iface = nullptr;
            if ((r = sd_bus_message_read(m, "s", &iface)) < 0) return r;
            const bool device = std::strcmp(iface, kDevice) == 0;
            const bool adapter = std::strcmp(iface, kAdapter) == 0;
            if (device || adapter) {
                Properties p;
                if ((r = ReadProperties(m, p)) < 0) return r;
                if (device) {
                    BluetoothDevice d;
                    d.address = p.text["Address"];
                    std::transform(
                        d.address.begin(), d.address.end(), d.address.begin(),
                        [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
                    d.name = p.text.count("Name") ? p.text["Name"] : p.text["Alias"];
                    d.adapter = AdapterOf(path);
                    d.paired = p.flags["Paired"];
                    d.connected = p.flags["Connected"];
                    out.devices.push_back(std::move(d));
                } else {
                    out.adapters.push_back(
                        {AdapterOf(path), p.text["Address"], p.flags["Powered"]});
                }
            } else if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) {
                return r;
            }
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if (r < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

}  // namespace

BluetoothListing ListBluetoothDevices() {
    BluetoothListing out;
    Bus bus;
    int r = sd_bus_open_system(&bus.bus);
    if (r < 0) {
        out.unavailable = std::string("no system D-Bus to ask BlueZ: ") + std::strerror(-r);
        return out;
    }
    sd_bus_set_method_call_timeout(bus.bus,
                                   static_cast<std::uint64_t>(kBlueZTimeout.count()) * 1000);
    BusError error;
    Reply reply;
    r = sd_bus_call_method(bus.bus, "org.bluez", "/", "org.freedesktop.DBus.ObjectManager",
                           "GetManagedObjects", &error.e, &reply.m, "");
    if (r < 0) {
        const bool absent = sd_bus_error_has_name(&error.e, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                            sd_bus_error_has_name(&error.e, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
        const std::string why = error.e.message ? error.e.message : std::strerror(-r);
        out.unavailable = absent ? "BlueZ is not running (no org.bluez on the system D-Bus)"
                                 : "BlueZ did not answer: " + why;
        return out;
    }
    if ((r = ReadObjects(reply.m, out)) < 0) {
        out = {};
        out.unavailable = std::string("BlueZ's answer could not be read: ") + std::strerror(-r);
        return out;
    }
    std::sort(out.adapters.begin(), out.adapters.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    std::sort(out.devices.begin(), out.devices.end(), [](const auto& a, const auto& b) {
        return a.name != b.name ? a.name < b.name : a.address < b.address;
    });
    return out;
}

}  // namespace vostrel::platform
