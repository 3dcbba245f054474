// The binary form in which a container saves the control in a stream
// (IPersistStreamInit): the three persisted properties, versioned.
//
//   bytes 0-3   "VSTL"
//   bytes 4-5   form version, low byte first (1)
//   bytes 6-7   Connection, the 16-bit Boolean as stored, low byte first
//   bytes 8-9   PingNXT, likewise
//   bytes 10-13 length N of ErrorMessage, low byte first
//   then N bytes, ErrorMessage (one byte per character)
//
// Portable, no system header: pure functions over bytes.
#pragma once

#include <cstdint>
#include <string>

#include "vostrel/types.hpp"

namespace vostrel::activex {

struct SavedProperties {
    Boolean connection;
    Boolean pingNXT;
    String errorMessage;
};

inline constexpr std::size_t kStreamHeaderSize = 14;
inline constexpr std::uint16_t kStreamFormVersion = 1;
/// A saved ErrorMessage longer than this is not believed (a damaged stream).
inline constexpr std::uint32_t kStreamMaxText = 1u << 20;

/// The whole form of `p`. Throws Error(kInvalidArgument) for an
/// ErrorMessage longer than kStreamMaxText, which no load would take back.
std::string EncodeStreamForm(const SavedProperties& p);

/// Reads the fixed header; returns the length of the text that follows.
/// Throws Error(kBadFileFormat) for another tag, a newer version or a text
/// longer than kStreamMaxText. `header` holds kStreamHeaderSize bytes.
std::uint32_t DecodeStreamHeader(const std::string& header, SavedProperties& p);

}  // namespace vostrel::activex
