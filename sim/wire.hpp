// The brick's side of the wire: packet framing, the packet reader, and the
// telegrams a brick program sends. Pure functions and one small buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vostrel::sim {

inline constexpr std::uint8_t kReplyWanted = 0x00;  // direct command, reply wanted
inline constexpr std::uint8_t kNoReply = 0x80;      // direct command, no reply wanted
inline constexpr std::uint8_t kReply = 0x02;        // a reply telegram
inline constexpr std::uint8_t kPlayTone = 0x03;
inline constexpr std::uint8_t kMessageWrite = 0x09;
inline constexpr std::uint8_t kKeepAlive = 0x0D;
inline constexpr std::size_t kMaxMessageSize = 59;  // size byte: text plus NUL
inline constexpr std::size_t kMaxText = kMaxMessageSize - 1;

/// `telegram` with its two-byte length header (low byte first) in front.
/// Throws std::invalid_argument for a telegram over 65535 bytes.
std::string Frame(std::string_view telegram);

/// The MESSAGEWRITE a program sends to the PC: 80 09 inbox size payload 00.
/// Throws std::invalid_argument when `payload` is over 58 bytes or `inbox`
/// is outside 0 to 255.
std::string MessageTelegram(int inbox, std::string_view payload);
/// A number as a program sends it: 4 bytes, low byte first.
std::string NumberPayload(std::int32_t value);

/// Cuts a byte stream into telegrams by their length headers, however the
/// writes split or join them. Like the brick, it never rejects a length: a
/// header announcing more bytes than were sent waits for (and swallows) the
/// bytes that follow. A zero-length packet is skipped.
class PacketReader {
public:
    /// Takes the bytes of one read; returns every telegram completed by
    /// them, in order, headers removed.
    std::vector<std::string> Feed(std::string_view bytes);
    /// Bytes held for a packet not yet complete.
    std::size_t Pending() const { return buffer_.size(); }

private:
    std::string buffer_;
};

/// Lowercase hex of every byte ("0a00").
std::string Hex(std::string_view bytes);

}  // namespace vostrel::sim
