// The numbered texts the soak sends each way: their length varies with the
// number (the number itself up to 58 bytes), so every one can be checked on arrival without
// keeping what was sent.
#pragma once

#include <cstdint>
#include <string>

namespace vostrel::soak {

inline std::string SoakText(char direction, std::uint64_t n) {
    std::string t = direction + std::to_string(n) + ":";
    const std::size_t length = 1 + (n * 7919) % 58;
    for (std::size_t i = 0; t.size() < length; ++i) t.push_back(static_cast<char>('a' + (n + i) % 26));
    return t;
}

}  // namespace vostrel::soak
