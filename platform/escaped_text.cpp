// The escaping rule for text from outside.
#include "vostrel/escaped_text.hpp"

namespace vostrel {

std::string EscapedText(std::string_view bytes, std::size_t limit) {
    static constexpr char kHex[] = "0123456789abcdef";
    static constexpr std::string_view kCut = "...";
    std::string out;
    std::size_t keep = 0;  // the last whole byte's end where "..." still fits
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\')
            out.push_back(ch);
        else
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        if (limit == std::string::npos) continue;
        if (out.size() + kCut.size() <= limit) keep = out.size();
        if (out.size() > limit) {
            out.resize(keep);
            return out.append(kCut.substr(0, limit - keep));
        }
    }
    return out;
}

}  // namespace vostrel
