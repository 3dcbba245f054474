// Port numbers, device paths and bricks from the command line.
#include "tool/port_argument.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string_view>

namespace vostrel::tool {

PortChoice ResolvePort(const std::string& text) {
    if (text.empty()) throw std::invalid_argument("empty port");
    if (text.find('\0') != std::string::npos)
        throw std::invalid_argument("the port's device path contains a NUL byte");
    PortChoice c;
    const bool numeric = std::all_of(text.begin() + (text[0] == '-' ? 1 : 0), text.end(),
                                     [](unsigned char ch) { return std::isdigit(ch); }) &&
                         text != "-";
    if (numeric) {
        long long n = 0;
        try {
            n = std::stoll(text);
        } catch (const std::out_of_range&) {
            n = 1LL << 40;
        }
        if (n < INT16_MIN || n > INT16_MAX)
            throw std::invalid_argument("port number out of range: " + text);
        c.number = static_cast<Integer>(n);
    } else {
        // Any number will do; 1 is the one the control is given. A path, or
        // a brick by its Bluetooth address or name.
        c.number = 1;
        c.map.MapText(c.number, text);
    }
    try {
        c.path = c.map.Path(c.number);
    } catch (const Error&) {
        c.path.clear();  // no device (or a brick): ConnectNXT reports it
    }
    return c;
}

std::string ShellWord(const std::string& text) {
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        // ASCII only, whatever the locale says is a letter.
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("_@%+=:,./-").find(static_cast<char>(c)) != std::string_view::npos;
    });
    if (plain) return text;
    std::string word = "'";
    for (const char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

}  // namespace vostrel::tool
