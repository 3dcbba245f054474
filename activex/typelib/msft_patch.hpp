// Setting the flags and version of one type in a compiled type library (the
// MSFT format that MIDL, widl and ICreateTypeLib2 write), for what widl will
// not put on a dispinterface.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vostrel::typelib {

/// A GUID in the byte order a type library stores it.
using GuidBytes = std::array<std::uint8_t, 16>;

/// Parses "b741f7a8-a681-47c0-a884-5cfa27287ada" into stored byte order.
/// Throws std::invalid_argument for a malformed text.
GuidBytes ParseGuid(const std::string& text);

/// In `library`, ORs `addFlags` (TYPEFLAG_*) into the flags of every type
/// whose GUID is `guid` and sets its version to major.minor. Returns how
/// many types it changed; throws std::runtime_error when `library` is not a
/// well-formed MSFT library (it is then left unchanged).
int PatchTypeInfo(std::vector<std::uint8_t>& library, const GuidBytes& guid, std::uint32_t addFlags,
                  int major, int minor);

}  // namespace vostrel::typelib
