// The tool's commands, one function each, called by main once the
// arguments are parsed. Each returns the process's exit status: 0 done,
// 1 the control reported a failure or the output could not be written.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/simulated_brick.hpp"
#include "vostrel/types.hpp"

namespace vostrel::tool {

struct LinkOptions {
    std::string port;  // a number or a device path
    Integer baud = 9600;
};

struct SendOptions {
    LinkOptions link;
    Integer mailbox = 0;
    std::optional<std::string> text;
    std::optional<Long> number;
};

struct ListenOptions {
    LinkOptions link;
    bool json = false;
    bool noPing = false;
    Long watchdogMs = 0;  // 0: the control's own interval (10 s)
};

struct BridgeOptions {
    std::vector<std::string> ports;  // [NAME=]PORT, one per brick
    Integer baud = 9600;
    std::string broker = "mqtt://localhost";
    std::string prefix = "vostrel";
    std::string username;
    std::string passwordFile;  // "": the password is in VOSTREL_MQTT_PASSWORD, if anywhere
    std::string cafile;
    bool reconnect = false;
    std::size_t queue = 1000;  // mails held while the broker is away
    Long watchdogMs = 0;       // 0: the control's own interval (10 s)
};

struct SimOptions {
    sim::BrickOptions brick;
    bool quiet = false;      // print only the device path
    bool bluetooth = false;  // serve RFCOMM channel 1 instead of a line (Linux)
    bool anyHost = false;    // over Bluetooth: also hosts that have not paired
};

int RunDemo(std::ostream& out);
/// Writes to standard output itself (through an OutputWriter).
int RunSim(const SimOptions& options);
/// RunSim with `options.bluetooth`: one host at a time on RFCOMM channel 1.
int RunBluetoothSim(const SimOptions& options);
int RunSend(const SendOptions& options, std::ostream& out);
/// Writes to standard output itself (through an OutputWriter).
int RunListen(const ListenOptions& options);
int RunPorts(std::ostream& out);
/// Runs until interrupted; logs on standard error. Linux only: elsewhere,
/// or built without libmosquitto, it says why and returns 1.
int RunBridge(const BridgeOptions& options);

/// One readable line for something the simulated brick did.
std::string Describe(const sim::BrickEvent& e);

}  // namespace vostrel::tool
