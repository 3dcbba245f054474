// The module's GUIDs as Windows structures, made from the identity table's
// texts at compile time so they cannot drift from it.
#pragma once

#include <windows.h>

#include <string_view>

#include "vostrel/type_library.hpp"

namespace vostrel::activex {

namespace detail {
constexpr unsigned HexDigit(char c) {
    return c >= '0' && c <= '9'   ? unsigned(c - '0')
           : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
           : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                  : throw "not a hex digit";
}
constexpr unsigned long Hex(std::string_view s, std::size_t at, std::size_t n) {
    unsigned long v = 0;
    for (std::size_t i = 0; i < n; ++i) v = v * 16 + HexDigit(s[at + i]);
    return v;
}
}  // namespace detail

/// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" as a GUID.
constexpr GUID MakeGuid(std::string_view s) {
    if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-')
        throw "not a GUID";
    GUID g{};
    g.Data1 = detail::Hex(s, 0, 8);
    g.Data2 = static_cast<unsigned short>(detail::Hex(s, 9, 4));
    g.Data3 = static_cast<unsigned short>(detail::Hex(s, 14, 4));
    g.Data4[0] = static_cast<unsigned char>(detail::Hex(s, 19, 2));
    g.Data4[1] = static_cast<unsigned char>(detail::Hex(s, 21, 2));
    for (std::size_t i = 0; i < 6; ++i)
        g.Data4[2 + i] = static_cast<unsigned char>(detail::Hex(s, 24 + 2 * i, 2));
    return g;
}

inline constexpr GUID kLibId = MakeGuid(typelib::kLibId);
inline constexpr GUID kClsId = MakeGuid(typelib::kClsId);
inline constexpr GUID kIidVostrel = MakeGuid(typelib::kIidVostrel);
inline constexpr GUID kIidVostrelEvents = MakeGuid(typelib::kIidVostrelEvents);

}  // namespace vostrel::activex
