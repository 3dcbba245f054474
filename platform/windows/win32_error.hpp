// Win32 error numbers as text a host can act on. Internal to the platform
// layer on Windows.
#pragma once

#include <string>

namespace vostrel::platform::detail {

/// "Win32 error N: <the system's message>", the message from FormatMessage
/// in UTF-8 without its line end.
std::string SystemErrorText(unsigned long code);

/// UTF-8 to UTF-16 for the W functions.
std::wstring Widen(const std::string& text);

}  // namespace vostrel::platform::detail
