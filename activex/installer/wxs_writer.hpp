// The Windows Installer description of the control's package, in the WiX
// form wixl reads.
#pragma once

#include <string>

namespace vostrel::activex::installer {

struct PackageSpec {
    bool win64 = true;
    /// The product version, major.minor.patch (each at most 255.255.65535).
    std::string version;
};

/// The files the package holds, which wixl takes from the folder of the
/// description.
inline constexpr const char* kModuleFile = "VostrelControl.ocx";
inline constexpr const char* kTypeLibraryFile = "VostrelControl.tlb";
inline constexpr const char* kToolFile = "vostrel.exe";
inline constexpr const char* kReadmeFile = "README.txt";

/// The .wxs text. Throws std::invalid_argument on a version Windows
/// Installer cannot hold.
std::string WriteWxs(const PackageSpec& spec);

}  // namespace vostrel::activex::installer
