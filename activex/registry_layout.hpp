// The registry entries that register the control for the whole machine, as
// rows: the class and its ProgIDs (DllRegisterServer writes these itself)
// and the type library with its interfaces (as RegisterTypeLib writes
// them). Built for Windows and for the build machine alike: the Windows
// Installer packages are generated from the same rows, so an installed
// control is registered exactly as regsvr32 registers it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vostrel::activex::registry {

inline constexpr std::string_view kProgId = "VostrelControl.Vostrel";
inline constexpr std::string_view kProgIdVersioned = "VostrelControl.Vostrel.1";
inline constexpr std::string_view kThreadingModel = "Apartment";
/// CATID_Control: the "Controls" component category.
inline constexpr std::string_view kControlCategory = "{40FC6ED4-2438-11CF-A3DB-080036F12502}";
/// Dual interfaces marshal through the Automation proxy (PSOAInterface),
/// dispinterfaces through PSDispatch.
inline constexpr std::string_view kProxyDual = "{00020424-0000-0000-C000-000000000046}";
inline constexpr std::string_view kProxyDispatch = "{00020420-0000-0000-C000-000000000046}";

/// One entry under HKEY_CLASSES_ROOT.
struct Row {
    std::string key;
    std::string name;  // empty: the key's default value
    std::string value;
    bool keyOnly = false;  // the key alone, holding no value
};

/// Where the module lies: its full path, and its folder with the trailing
/// backslash.
struct Module {
    std::string path;
    std::string folder;
    bool win64 = false;
};

/// A GUID of the identity table in registry form: braced, upper case.
std::string Braced(std::string_view guid);

/// CLSID\{clsid} and the two ProgIDs.
std::vector<Row> ClassRows(const Module& module);
/// TypeLib\{libid}\<version>: name, this module's entry, flags. No help
/// folder: the library has no help file, and a folder would name one of the
/// two architectures' folders in a key both share.
std::vector<Row> LibraryRows(const Module& module);
/// Of those, the rows every module of the library writes alike (name and
/// flags), shared by the 32- and 64-bit registrations...
std::vector<Row> SharedLibraryRows();
/// ...and this module's own entry, <version>\<lcid>\win32 or win64.
Row LibraryEntryRow(const Module& module);
/// The key of the module's entry as registrations before the library became
/// language-neutral wrote it (<version>\409\win32 or win64).
std::string OlderLibraryEntryKey(bool win64);
/// Interface\{iid} of _Vostrel and __Vostrel.
std::vector<Row> InterfaceRows();

/// The keys registration creates whole and unregistration removes with
/// everything below them, of ClassRows, LibraryRows and InterfaceRows (the
/// library's version key is shared by both architectures' modules: it goes
/// only when no module's entry is left in it).
std::vector<std::string> ClassKeys();
std::vector<std::string> LibraryKeys();
std::vector<std::string> InterfaceKeys();

}  // namespace vostrel::activex::registry
