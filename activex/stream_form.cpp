#include "activex/stream_form.hpp"

namespace vostrel::activex {

namespace {
constexpr char kTag[4] = {'V', 'S', 'T', 'L'};

void Put16(std::string& out, std::uint16_t v) {
    out += char(v & 0xFF);
    out += char(v >> 8);
}
std::uint32_t Get(const std::string& in, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | std::uint8_t(in[at + std::size_t(i)]);
    return v;
}
}  // namespace

std::string EncodeStreamForm(const SavedProperties& p) {
    if (p.errorMessage.size() > kStreamMaxText)
        throw Error(err::kInvalidArgument, "ErrorMessage of " +
                                               std::to_string(p.errorMessage.size()) +
                                               " bytes is longer than a saved control may hold");
    std::string out(kTag, sizeof kTag);
    Put16(out, kStreamFormVersion);
    Put16(out, std::uint16_t(p.connection.raw()));
    Put16(out, std::uint16_t(p.pingNXT.raw()));
    const auto n = std::uint32_t(p.errorMessage.size());
    Put16(out, std::uint16_t(n & 0xFFFF));
    Put16(out, std::uint16_t(n >> 16));
    return out + p.errorMessage;
}

std::uint32_t DecodeStreamHeader(const std::string& header, SavedProperties& p) {
    if (header.size() != kStreamHeaderSize || header.compare(0, 4, kTag, 4) != 0)
        throw Error(err::kBadFileFormat, "Invalid file format: not a saved Vostrel control");
    const auto version = std::uint16_t(Get(header, 4, 2));
    if (version != kStreamFormVersion)
        throw Error(err::kBadFileFormat, "Invalid file format: saved by a newer version (form " +
                                             std::to_string(version) + ")");
    const std::uint32_t length = Get(header, 10, 4);
    if (length > kStreamMaxText)
        throw Error(err::kBadFileFormat,
                    "Invalid file format: saved text of " + std::to_string(length) + " bytes");
    p.connection = Boolean(std::int16_t(Get(header, 6, 2)));
    p.pingNXT = Boolean(std::int16_t(Get(header, 8, 2)));
    return length;
}

}  // namespace vostrel::activex
