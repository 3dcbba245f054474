// Builders of the NXT direct-command telegrams the control sends, and the
// keep-alive echo: pure functions of their arguments.
#pragma once

#include <cstdint>
#include <string_view>

#include "vostrel/types.hpp"

namespace vostrel::protocol {

inline constexpr char kNoReply = '\x80';      // direct command, no reply wanted
inline constexpr char kReplyWanted = '\x00';  // direct command, reply wanted
inline constexpr char kMessageWrite = '\x09';
inline constexpr char kPlayTone = '\x03';
inline constexpr std::size_t kMaxText = 58;  // size byte counts the NUL: 59 at most

/// MESSAGEWRITE of a 32-bit number: 80 09 inbox 05 b0 b1 b2 b3 00.
String MessageWriteValue(std::uint8_t inbox, Long value);
/// MESSAGEWRITE of a text: 80 09 inbox L+1 text 00. The caller checks that
/// the text fits (kMaxText).
String MessageWriteText(std::uint8_t inbox, std::string_view text);
/// PLAYTONE, reply wanted: 00 03 freq-lo freq-hi ms-lo ms-hi.
String PlayToneTelegram(Integer frequency, Integer duration);

/// Whether a received telegram is a keep-alive query: its first message byte
/// (offset 4) is '?'. The caller has checked it is a MESSAGEWRITE.
bool IsKeepAliveQuery(std::string_view telegram);
/// The answer to a keep-alive query: the telegram with every '?' turned
/// into '!', header bytes included.
String KeepAliveEcho(std::string_view telegram);

}  // namespace vostrel::protocol
