// `vostrel bridge`: the command line turned into the bridge's settings, the
// loop run until an interrupt (SIGINT, SIGTERM, SIGHUP), then an orderly
// end. The log goes to standard error through a writer of its own, so a
// log nobody reads never holds up the bricks.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>

#include "tool/bridge/bridge.hpp"
#include "tool/commands.hpp"
#include "tool/interrupts.hpp"
#include "tool/output_writer.hpp"

namespace vostrel::tool {

namespace {

using namespace bridge;

// How long the end may take to publish the last states.
constexpr std::chrono::milliseconds kStopGrace{2000};
constexpr std::chrono::milliseconds kLogGrace{300};
constexpr std::size_t kMaxPassword = 4096;

std::string DroppedLogLines(std::uint64_t count) {
    return "vostrel bridge: " + std::to_string(count) +
           " log lines dropped: standard error was not being read";
}

std::string ReadPassword(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read the password file " + file + ": " +
                                 std::strerror(errno));
    std::string line;
    std::getline(in, line);
    if (line.size() > kMaxPassword)
        throw std::invalid_argument("the password file's first line is over 4096 bytes");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

BridgeSettings Settings(const BridgeOptions& o) {
    BridgeSettings s;
    s.mqtt.address = ParseBrokerAddress(o.broker);
    s.mqtt.username = o.username;
    if (!o.passwordFile.empty()) {
        s.mqtt.password = ReadPassword(o.passwordFile);
    } else if (const char* env = std::getenv("VOSTREL_MQTT_PASSWORD")) {
        s.mqtt.password = std::string(env).substr(0, kMaxPassword);
    }
    if (s.mqtt.password && s.mqtt.username.empty())
        throw std::invalid_argument("a password needs --username");
    s.mqtt.cafile = o.cafile;
    if (!o.cafile.empty() && !s.mqtt.address.tls)
        throw std::invalid_argument("--cafile is for an mqtts:// broker");
    if (!ValidPrefix(o.prefix))
        throw std::invalid_argument(
            "the prefix must be 1 to 64 letters, digits, - _ . : and inner /: " +
            Printable(o.prefix));
    s.prefix = o.prefix;
    s.queue = o.queue;
    std::set<std::string> names;
    for (const std::string& arg : o.ports) {
        BrickSettings b;
        const auto eq = arg.find('=');
        if (eq != std::string::npos && eq > 0 && ValidBrickName(arg.substr(0, eq))) {
            b.name = arg.substr(0, eq);
            b.port = arg.substr(eq + 1);
        } else {
            b.name = NameFromPort(arg);
            b.port = arg;
        }
        if (!names.insert(b.name).second)
            throw std::invalid_argument("two bricks named " + b.name + ": name them, -p NAME=PORT");
        b.baud = o.baud;
        b.reconnect = o.reconnect;
        b.watchdogMs = o.watchdogMs;
        s.bricks.push_back(std::move(b));
    }
    return s;
}

}  // namespace

int RunBridge(const BridgeOptions& options) {
    BridgeSettings settings = Settings(options);
    // First, so an interrupt during the start is kept; last to go, as the
    // ports poll its descriptor until they are closed.
    Interrupts interrupts;
    OutputWriter log(STDERR_FILENO, DroppedLogLines);
    int status = 0;
    {
        platform::DefaultLoop loop;
        Bridge bridge(loop, std::move(settings),
                      [&log](const std::string& line) { log.Line(line); });
        bridge.CancelWaitsOn(interrupts.Fd());
        const auto watch = loop.Watch(interrupts.Fd(), [&loop] { loop.stop(); });
        bridge.Start();
        try {
            loop.run();
        } catch (const std::exception& e) {
            log.Line(std::string("vostrel bridge: ") + e.what());
            status = 1;
        }
        loop.Unwatch(watch);
        bridge.Stop(kStopGrace);
    }
    log.Flush(interrupts.Fd(), kLogGrace);
    return status;
}

}  // namespace vostrel::tool
