// The MSFT layout used here, as every type library reader knows it: a
// header of 0x54 bytes (plus 4 when a help DLL is named), one offset per
// type, then a directory of 15 segments (offset, length, two reserved
// words). Segment 0 holds the type entries of 0x64 bytes each, segment 5
// the GUID entries (16 bytes GUID, hreftype, next hash).
#include "activex/typelib/msft_patch.hpp"

#include <cstdio>
#include <stdexcept>

namespace vostrel::typelib {

namespace {

constexpr std::uint32_t kMagic = 0x5446534D;  // "MSFT"
constexpr std::size_t kHeaderSize = 0x54;
constexpr std::uint32_t kHelpDllFlag = 0x100;
constexpr std::size_t kSegmentCount = 15;
constexpr std::size_t kTypeInfoSegment = 0;
constexpr std::size_t kGuidSegment = 5;
constexpr std::size_t kTypeInfoSize = 0x64;
constexpr std::size_t kTypeGuidOffset = 0x2C;
constexpr std::size_t kTypeFlagsOffset = 0x30;
constexpr std::size_t kTypeVersionOffset = 0x38;

std::uint32_t Read32(const std::vector<std::uint8_t>& b, std::size_t at) {
    if (at + 4 > b.size()) throw std::runtime_error("type library truncated");
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

void Write32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

}  // namespace

GuidBytes ParseGuid(const std::string& text) {
    unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    int used = 0;
    if (text.size() != 36 ||
        std::sscanf(text.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%n", &d1, &d2, &d3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &used) != 11 ||
        used != 36)
        throw std::invalid_argument("not a GUID: " + text);
    GuidBytes g{};
    for (int i = 0; i < 4; ++i) g[std::size_t(i)] = std::uint8_t(d1 >> (8 * i));
    for (int i = 0; i < 2; ++i) g[std::size_t(4 + i)] = std::uint8_t(d2 >> (8 * i));
    for (int i = 0; i < 2; ++i) g[std::size_t(6 + i)] = std::uint8_t(d3 >> (8 * i));
    for (int i = 0; i < 8; ++i) g[std::size_t(8 + i)] = std::uint8_t(b[i]);
    return g;
}

int PatchTypeInfo(std::vector<std::uint8_t>& library, const GuidBytes& guid, std::uint32_t addFlags,
                  int major, int minor) {
    if (Read32(library, 0) != kMagic) throw std::runtime_error("not an MSFT type library");
    const std::uint32_t typeCount = Read32(library, 0x20);
    const std::uint32_t varFlags = Read32(library, 0x14);
    const std::size_t offsets = kHeaderSize + ((varFlags & kHelpDllFlag) ? 4 : 0);
    const std::size_t directory = offsets + 4 * std::size_t(typeCount);
    if (directory + 16 * kSegmentCount > library.size())
        throw std::runtime_error("type library truncated");
    const std::size_t typeSegment = Read32(library, directory + 16 * kTypeInfoSegment);
    const std::size_t guidSegment = Read32(library, directory + 16 * kGuidSegment);
    const std::size_t guidLength = Read32(library, directory + 16 * kGuidSegment + 4);

    // Find every change first, so a malformed library is left as it was.
    std::vector<std::size_t> matches;
    for (std::uint32_t i = 0; i < typeCount; ++i) {
        const std::size_t entry = typeSegment + Read32(library, offsets + 4 * i);
        if (entry + kTypeInfoSize > library.size())
            throw std::runtime_error("type entry outside the library");
        const std::uint32_t guidOffset = Read32(library, entry + kTypeGuidOffset);
        if (guidOffset == 0xFFFFFFFF) continue;
        if (guidOffset + 16 > guidLength || guidSegment + guidOffset + 16 > library.size())
            throw std::runtime_error("GUID entry outside the library");
        bool same = true;
        for (std::size_t k = 0; k < 16; ++k)
            same = same && library[guidSegment + guidOffset + k] == guid[k];
        if (same) matches.push_back(entry);
    }
    for (std::size_t entry : matches) {
        Write32(library, entry + kTypeFlagsOffset,
                Read32(library, entry + kTypeFlagsOffset) | addFlags);
        Write32(library, entry + kTypeVersionOffset,
                std::uint32_t(major & 0xFFFF) | std::uint32_t(minor & 0xFFFF) << 16);
    }
    return int(matches.size());
}

}  // namespace vostrel::typelib
