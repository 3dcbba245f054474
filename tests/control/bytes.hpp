// Byte-string helpers for the control's tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace vostrel::testing {

inline std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

/// A framed MESSAGEWRITE as the brick sends it: 80 09 inbox size text 00.
inline std::string BrickMessage(int inbox, const std::string& text) {
    std::string t = Bytes({0x80, 0x09, inbox, static_cast<int>(text.size() + 1)}) + text;
    t.push_back('\0');
    return std::string{static_cast<char>(t.size()), '\0'} + t;
}

/// Text with its closing NUL, as a slot stores it.
inline std::string WithNul(const std::string& text) { return text + std::string(1, '\0'); }

}  // namespace vostrel::testing
