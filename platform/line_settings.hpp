// The "speed,parity,data,stop" text of a serial port's Settings, parsed.
// Internal to the platform layer.
#pragma once

#include <optional>
#include <string>

namespace vostrel::platform::detail {

struct LineSettings {
    long speed;   // bits/s, 1 or more
    char parity;  // 'n', 'e' or 'o'
    int dataBits; // 5 to 8
    int stopBits; // 1 or 2
};

/// The settings a text names, or nothing when it is malformed or asks for
/// what the port cannot do: a speed of zero, below zero or above
/// kMaxSpeed, mark or space parity, 1.5 stop bits. Letters in any case;
/// blanks around the fields are allowed.
std::optional<LineSettings> ParseLineSettings(const std::string& text);

inline constexpr long kMaxSpeed = 100'000'000;

}  // namespace vostrel::platform::detail
