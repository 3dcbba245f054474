// Comparing names and keywords without regard to case, as Automation does
// (ASCII letters only: the interface's names and "True"/"False" are ASCII).
#pragma once

#include <cctype>
#include <string_view>

namespace vostrel::detail {

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace vostrel::detail
