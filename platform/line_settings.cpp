// Parsing "speed,parity,data,stop" texts such as "9600,n,8,1".
#include "platform/line_settings.hpp"

#include <cctype>
#include <vector>

namespace vostrel::platform::detail {

namespace {

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// A whole decimal number of at most `limit`, digits only (no sign).
std::optional<long> Number(const std::string& s, long limit) {
    if (s.empty()) return std::nullopt;
    long v = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        v = v * 10 + (c - '0');
        if (v > limit) return std::nullopt;  // also keeps the sum from overflowing
    }
    return v;
}

}  // namespace

std::optional<LineSettings> ParseLineSettings(const std::string& text) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        fields.push_back(Trim(text.substr(start, comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (fields.size() != 4) return std::nullopt;

    const auto speed = Number(fields[0], kMaxSpeed);
    if (!speed || *speed < 1) return std::nullopt;
    if (fields[1].size() != 1) return std::nullopt;
    const char parity = static_cast<char>(std::tolower(static_cast<unsigned char>(fields[1][0])));
    if (parity != 'n' && parity != 'e' && parity != 'o') return std::nullopt;
    const auto data = Number(fields[2], 8);
    if (!data || *data < 5) return std::nullopt;
    const auto stop = Number(fields[3], 2);
    if (!stop || *stop < 1) return std::nullopt;
    return LineSettings{*speed, parity, static_cast<int>(*data), static_cast<int>(*stop)};
}

}  // namespace vostrel::platform::detail
