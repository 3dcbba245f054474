// The Bluetooth devices BlueZ knows, read from its D-Bus object tree
// (ObjectManager.GetManagedObjects on org.bluez) through sd-bus.
#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

#include "vostrel/bluetooth.hpp"
#include "vostrel/escaped_text.hpp"

namespace vostrel::platform {

namespace {

constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kAdapter = "org.bluez.Adapter1";

constexpr const char* kSystemBus = "unix:path=/run/dbus/system_bus_socket";

// Closed without flushing: a flush waits for a wedged bus's handshake.
struct Bus {
    sd_bus* bus = nullptr;
    ~Bus() { sd_bus_close_unref(bus); }
};
struct Reply {
    sd_bus_message* m = nullptr;
    ~Reply() { sd_bus_message_unref(m); }
};

// The answer to GetManagedObjects, once it came.
struct Call {
    bool done = false;
    Reply reply;
    std::string error;    // the D-Bus error's text, "" for an answer
    bool absent = false;  // no BlueZ on the bus
};

int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto& call = *static_cast<Call*>(userdata);
    call.done = true;
    if (const sd_bus_error* e = sd_bus_message_get_error(m)) {
        call.absent = sd_bus_error_has_name(e, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                      sd_bus_error_has_name(e, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
        // The peer's words: shown escaped and bounded like any outside text.
        call.error =
            EscapedText(e->message ? e->message : (e->name ? e->name : "unknown error"), 200);
    } else {
        call.reply.m = sd_bus_message_ref(m);
    }
    return 0;
}

constexpr int kTimedOut = 1;
constexpr int kInterrupted = 2;

std::string Within() {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kBlueZTimeout).count()) +
           " s";
}

// Drives the bus (connect, handshake, Hello, the call) until the call is
// answered (0), `deadline` passes (kTimedOut), `cancelFd` is readable
// (kInterrupted), or the bus fails (-errno).
int RunUntilAnswered(sd_bus* bus, const Call& call, std::chrono::steady_clock::time_point deadline,
                     int cancelFd) {
    using namespace std::chrono;
    for (;;) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) return r;
        if (call.done) return 0;
        if (r > 0) continue;  // more may be ready at once
        const auto now = steady_clock::now();
        if (now >= deadline) return kTimedOut;
        auto wait = ceil<milliseconds>(deadline - now);
        std::uint64_t due = 0;  // sd-bus's own next timeout, CLOCK_MONOTONIC
        if (sd_bus_get_timeout(bus, &due) >= 0 && due != UINT64_MAX) {
            timespec ts{};
            clock_gettime(CLOCK_MONOTONIC, &ts);
            const std::uint64_t at = static_cast<std::uint64_t>(ts.tv_sec) * 1000000 +
                                     static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
            wait = std::min(wait, milliseconds(due > at ? (due - at + 999) / 1000 : 0));
        }
        const int fd = sd_bus_get_fd(bus);
        const int events = sd_bus_get_events(bus);
        if (fd < 0) return fd;
        if (events < 0) return events;
        pollfd p[2] = {{fd, static_cast<short>(events), 0}, {cancelFd, POLLIN, 0}};
        if (::poll(p, cancelFd >= 0 ? 2 : 1, static_cast<int>(wait.count())) < 0 && errno != EINTR)
            return -errno;
        if (cancelFd >= 0 && (p[1].revents & POLLIN)) return kInterrupted;
    }
}

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
                // A device without a usable address cannot be connected:
                // left out, whatever its name says.
                if (device && IsBluetoothAddress(p.text["Address"])) {
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
                } else if (adapter) {
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

BluetoothListing ListBluetoothDevices(int cancelFd) {
    BluetoothListing out;
    const auto deadline = std::chrono::steady_clock::now() + kBlueZTimeout;
    Call call;  // outlives the bus, whose pending call points to it
    Bus bus;
    // Connected, authenticated and asked by hand: sd_bus_open_system and
    // sd_bus_call would each wait on their own clocks (the handshake up to
    // 90 s), and neither for an interrupt.
    int r = sd_bus_new(&bus.bus);
    const char* address = secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (r >= 0) r = sd_bus_set_address(bus.bus, address ? address : kSystemBus);
    if (r >= 0) r = sd_bus_set_bus_client(bus.bus, 1);
    if (r >= 0) r = sd_bus_start(bus.bus);
    if (r < 0) {
        out.unavailable = std::string("no system D-Bus to ask BlueZ: ") + std::strerror(-r);
        return out;
    }
    r = sd_bus_call_method_async(bus.bus, nullptr, "org.bluez", "/",
                                 "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", OnReply,
                                 &call, "");
    if (r >= 0) r = RunUntilAnswered(bus.bus, call, deadline, cancelFd);
    if (r == kInterrupted) {
        out.interrupted = true;
        out.unavailable = "interrupted";
        return out;
    }
    if (r == kTimedOut) {
        out.unavailable = sd_bus_is_ready(bus.bus) > 0
                              ? "BlueZ did not answer within " + Within()
                              : "the system D-Bus did not answer within " + Within();
        return out;
    }
    if (r < 0) {
        out.unavailable = std::string("the system D-Bus failed: ") + std::strerror(-r);
        return out;
    }
    if (!call.error.empty()) {
        out.unavailable = call.absent ? "BlueZ is not running (no org.bluez on the system D-Bus)"
                                      : "BlueZ did not answer: " + call.error;
        return out;
    }
    if ((r = ReadObjects(call.reply.m, out)) < 0) {
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
