// Text from outside (a device's name from the air, a mailbox text) made safe
// to show on a terminal or in a message: the one escaping rule of this
// library and its tool.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vostrel {

/// Every byte outside printable ASCII (0x20-0x7E), and the backslash, as
/// \xNN (two lower-case hex digits); the rest as it is. At most `limit`
/// bytes of the result: a longer one is cut before the escape or byte that
/// would pass the limit and ends in "..." (within the limit). Never throws
/// except std::bad_alloc.
std::string EscapedText(std::string_view bytes, std::size_t limit = std::string::npos);

}  // namespace vostrel
