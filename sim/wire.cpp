// Framing, the packet reader and the program's outgoing telegrams.
#include "sim/wire.hpp"

#include <stdexcept>

namespace vostrel::sim {

std::string Frame(std::string_view telegram) {
    if (telegram.size() > 0xFFFF) throw std::invalid_argument("telegram over 65535 bytes");
    std::string packet;
    packet.reserve(telegram.size() + 2);
    packet.push_back(static_cast<char>(telegram.size() & 0xFF));
    packet.push_back(static_cast<char>(telegram.size() >> 8));
    packet.append(telegram);
    return packet;
}

std::string MessageTelegram(int inbox, std::string_view payload) {
    if (payload.size() > kMaxText) throw std::invalid_argument("message over 58 bytes");
    if (inbox < 0 || inbox > 255) throw std::invalid_argument("inbox outside 0 to 255");
    std::string t;
    t.push_back(static_cast<char>(kNoReply));
    t.push_back(static_cast<char>(kMessageWrite));
    t.push_back(static_cast<char>(inbox));
    t.push_back(static_cast<char>(payload.size() + 1));
    t.append(payload);
    t.push_back('\0');
    return t;
}

std::string NumberPayload(std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    std::string p;
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
    return p;
}

std::vector<std::string> PacketReader::Feed(std::string_view bytes) {
    buffer_.append(bytes);
    std::vector<std::string> out;
    std::size_t at = 0;
    while (buffer_.size() - at >= 2) {
        const std::size_t n = static_cast<unsigned char>(buffer_[at]) |
                              (static_cast<std::size_t>(static_cast<unsigned char>(buffer_[at + 1])) << 8);
        if (buffer_.size() - at - 2 < n) break;
        if (n > 0) out.emplace_back(buffer_.substr(at + 2, n));
        at += 2 + n;
    }
    buffer_.erase(0, at);
    return out;
}

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        s.push_back(kDigits[c >> 4]);
        s.push_back(kDigits[c & 0x0F]);
    }
    return s;
}

}  // namespace vostrel::sim
