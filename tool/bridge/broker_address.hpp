// Where the bridge finds its broker: "mqtt://host[:port]" or
// "mqtts://host[:port]" from the command line.
#pragma once

#include <string>

namespace vostrel::tool::bridge {

struct BrokerAddress {
    std::string host;  // a name, an IPv4 address or an IPv6 address (no brackets)
    int port = 1883;
    bool tls = false;
};

/// Parses `url`. A bare "host[:port]" means mqtt://. The port defaults to
/// 1883 (8883 with mqtts). Throws std::invalid_argument, saying why, for
/// another scheme, a user or password in the address (they belong in
/// --username and a password file, never on the command line, where any
/// user of the machine can read them), an empty host, or a port outside 1
/// to 65535.
BrokerAddress ParseBrokerAddress(const std::string& url);

}  // namespace vostrel::tool::bridge
