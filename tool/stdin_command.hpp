// One line of listen's standard input, parsed.
#pragma once

#include <string>
#include <string_view>

#include "vostrel/types.hpp"

namespace vostrel::tool {

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
/// included ("text 3" sends the empty text).
StdinCommand ParseCommand(std::string_view line);

}  // namespace vostrel::tool
