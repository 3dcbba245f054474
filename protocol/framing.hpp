// Packet framing and byte extraction: pure functions, no port needed.
//
// A packet is a telegram preceded by its length as two bytes, low byte first.
// The high byte is always 0, which limits telegrams to 255 bytes.
#pragma once

#include <cstdint>
#include <string_view>

#include "vostrel/types.hpp"

namespace vostrel::protocol {

inline constexpr std::size_t kHeaderSize = 2;
inline constexpr std::size_t kMaxTelegram = 255;

/// The packet for `telegram`: header n, 0, then the telegram unchanged.
/// Throws Error(kInvalidArgument) for a telegram over 255 bytes.
String FramePacket(std::string_view telegram);

/// Byte N of X: bits 8N to 8N+7 of its two's-complement form.
constexpr std::uint8_t GetByte(Long X, int N) {
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(X) >> (8 * N));
}
constexpr std::uint8_t GetByte0(Long X) { return GetByte(X, 0); }
constexpr std::uint8_t GetByte1(Long X) { return GetByte(X, 1); }
constexpr std::uint8_t GetByte2(Long X) { return GetByte(X, 2); }
constexpr std::uint8_t GetByte3(Long X) { return GetByte(X, 3); }

}  // namespace vostrel::protocol
