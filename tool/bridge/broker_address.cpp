// The broker's address from the command line.
#include "tool/bridge/broker_address.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace vostrel::tool::bridge {

namespace {

int ParsePort(const std::string& text, const std::string& url) {
    const bool digits =
        !text.empty() && text.size() <= 5 &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
    const int port = digits ? std::stoi(text) : 0;
    if (port < 1 || port > 65535)
        throw std::invalid_argument("the broker's port must be from 1 to 65535: " + url);
    return port;
}

}  // namespace

BrokerAddress ParseBrokerAddress(const std::string& url) {
    BrokerAddress a;
    std::string rest = url;
    const auto scheme = url.find("://");
    if (scheme != std::string::npos) {
        std::string name = url.substr(0, scheme);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (name == "mqtts") {
            a.tls = true;
            a.port = 8883;
        } else if (name != "mqtt") {
            throw std::invalid_argument("the broker's address must begin mqtt:// or mqtts:// (" +
                                        name + ":// is not spoken by the bridge): " + url);
        }
        rest = url.substr(scheme + 3);
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('@') != std::string::npos)
        throw std::invalid_argument(
            "no user or password in the broker's address: give --username, and the password in "
            "a file (--password-file) or VOSTREL_MQTT_PASSWORD");
    if (rest.find('/') != std::string::npos)
        throw std::invalid_argument("the broker's address has no path: " + url);
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos)
            throw std::invalid_argument("an IPv6 address needs its closing ]: " + url);
        a.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') throw std::invalid_argument("bad broker address: " + url);
            a.port = ParsePort(after.substr(1), url);
        }
    } else {
        const auto colon = rest.find(':');
        a.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            if (rest.find(':', colon + 1) != std::string::npos)
                throw std::invalid_argument("write an IPv6 address in brackets, [::1]:1883: " +
                                            url);
            a.port = ParsePort(rest.substr(colon + 1), url);
        }
    }
    if (a.host.empty()) throw std::invalid_argument("the broker's address has no host: " + url);
    return a;
}

}  // namespace vostrel::tool::bridge
