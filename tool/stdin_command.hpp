// One line of listen's standard input, parsed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "vostrel/types.hpp"

namespace vostrel::tool {

/// The tool's own ranges, checked before anything reaches the control:
/// mailboxes 0 to 9, numbers 0 to 2147483647, texts of at most 58 bytes.
inline constexpr int kMaxMailbox = 9;
inline constexpr std::size_t kMaxTextBytes = 58;

struct StdinCommand {
    enum class Kind { Empty, Text, Value, Read, Disconnect, Connect, Quit, Bad };
    Kind kind = Kind::Empty;
    Integer mailbox = 0;
    std::string text;   // Text: the rest of the line after "text M "
    Long value = 0;     // Value
    std::string error;  // Bad: why
};

/// Parses "text M TEXT", "value M N", "read M", "disconnect", "connect",
/// "quit". A trailing CR is dropped; a blank line is Empty. The text of
/// "text" is everything after the single space that follows M, spaces
/// included ("text 3" sends the empty text). A mailbox, number or text
/// outside the tool's ranges is Bad, with the range in its error.
StdinCommand ParseCommand(std::string_view line);

}  // namespace vostrel::tool
