#include "activex/installer/wxs_writer.hpp"

#include <sstream>
#include <stdexcept>
#include <vector>

#include "activex/registry_layout.hpp"

namespace vostrel::activex::installer {

namespace {

namespace reg = vostrel::activex::registry;

// Fixed for ever, one per architecture: Windows Installer recognises a
// later package of the same architecture as an upgrade by it, and the two
// architectures install side by side.
constexpr const char* kUpgradeCodeX64 = "72E6ABC1-7496-4D8D-98F1-7918429DC81F";
constexpr const char* kUpgradeCodeX86 = "868335C9-E92D-4A2E-B1D4-4AF31774BD97";

// The entries both architectures' packages register alike are components
// of their own, the same in both packages (this GUID, 32-bit, the same rows):
// Windows Installer counts the products that hold a component and removes
// it with the last one. Fixed for ever. The interfaces' GUID is the one the
// first 64-bit packages gave their 32-bit interfaces (wixl made it from the
// key path), so an upgrade from one of them keeps them.
constexpr const char* kSharedLibraryGuid = "5F6C6B95-709F-4A96-9C60-4B2CAB5F5060";
constexpr const char* kSharedInterfacesGuid = "D8054D08-9CB2-50DE-B258-CBF90E17E6B0";

std::string Xml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Registry values are formatted text to Windows Installer: a literal [ or
// ] must be written [\[] and [\]].
std::string Formatted(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '[' || c == ']')
            out += std::string("[\\") + c + "]";
        else
            out += c;
    }
    return out;
}

void CheckVersion(const std::string& version) {
    // major.minor.build, at most 255.255.65535.
    std::istringstream in(version);
    unsigned long part[3] = {};
    char dot1 = 0, dot2 = 0;
    if (!(in >> part[0] >> dot1 >> part[1] >> dot2 >> part[2]) || dot1 != '.' || dot2 != '.' ||
        in.peek() != std::char_traits<char>::eof() || part[0] > 255 || part[1] > 255 ||
        part[2] > 65535)
        throw std::invalid_argument("version \"" + version +
                                    "\" is not major.minor.patch within 255.255.65535");
}

// Rows under HKEY_CLASSES_ROOT go to HKLM\Software\Classes, as
// DllRegisterServer writes them: the package installs for the machine.
// `ownKeys`: keys this package alone writes, removed whole at uninstall;
// `goneKeys`: keys removed at uninstall, never created. Every other value is
// removed by itself, and a key left empty with it.
void WriteRows(std::ostream& out, const std::vector<reg::Row>& rows,
               const std::vector<std::string>& ownKeys, bool keyPath,
               const std::vector<std::string>& goneKeys = {}) {
    auto key = [](const std::string& k) { return Xml(Formatted("Software\\Classes\\" + k)); };
    // A key row (no value) named "*" creates its key at install and removes
    // the key with all below it at uninstall; "-" only removes it; "+" only
    // creates it. wixl writes a key row for a RegistryValue without Value
    // only of a type other than string (of type string it asserts).
    for (const std::string& own : ownKeys) {
        out << "            <RegistryValue Root=\"HKLM\" Key=\"" << key(own)
            << "\" Name=\"*\" Type=\"expandable\"/>\n";
    }
    for (const std::string& gone : goneKeys) {
        out << "            <RegistryValue Root=\"HKLM\" Key=\"" << key(gone)
            << "\" Name=\"-\" Type=\"expandable\"/>\n";
    }
    for (const reg::Row& row : rows) {
        out << "            <RegistryValue Root=\"HKLM\" Key=\"" << key(row.key) << "\"";
        if (row.keyOnly) {
            out << " Name=\"+\" Type=\"expandable\"/>\n";
            continue;
        }
        if (!row.name.empty()) out << " Name=\"" << Xml(Formatted(row.name)) << "\"";
        // The module's path and folder are Windows Installer's own
        // properties, left unescaped; everything else is literal text.
        const bool installPath = row.value.find("[#") == 0 || row.value.find("[INSTALLDIR]") == 0;
        const std::string value = installPath ? row.value : Formatted(row.value);
        out << " Value=\"" << Xml(value) << "\" Type=\"string\"";
        if (keyPath) {
            out << " KeyPath=\"yes\"";
            keyPath = false;
        }
        out << "/>\n";
    }
}

}  // namespace

std::string WriteWxs(const PackageSpec& spec) {
    CheckVersion(spec.version);
    const char* bits = spec.win64 ? "64-bit" : "32-bit";
    const char* win64 = spec.win64 ? "yes" : "no";
    reg::Module module;
    module.path = std::string("[#") + kModuleFile + "]";
    module.folder = "[INSTALLDIR]";
    module.win64 = spec.win64;

    // The module's own rows: its class and ProgIDs (in its architecture's
    // view), its entry in the library's key and, 64-bit, the interfaces of
    // the 64-bit view. The library's name and flags, and the interfaces of
    // the 32-bit view, are shared with the other architecture's package.
    std::vector<reg::Row> moduleRows = reg::ClassRows(module);
    std::vector<std::string> moduleKeys = reg::ClassKeys();
    moduleRows.push_back(reg::LibraryEntryRow(module));
    if (spec.win64) {
        for (const reg::Row& row : reg::InterfaceRows()) moduleRows.push_back(row);
        for (const std::string& key : reg::InterfaceKeys()) moduleKeys.push_back(key);
    }
    // What the first packages registered for this module alone and an
    // upgrade from one leaves behind: its entry under the English locale.
    const std::vector<std::string> olderKeys = {reg::OlderLibraryEntryKey(spec.win64)};

    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        << "<!-- Generated by vostrel_wxs_tool from the control's registry rows; do not edit. -->\n"
        << "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n"
        << "  <Product Id=\"*\" Name=\"VostrelControl (" << bits << ")\" Language=\"1033\""
        << " Version=\"" << Xml(spec.version) << "\" Manufacturer=\"Vostrel\" UpgradeCode=\""
        << (spec.win64 ? kUpgradeCodeX64 : kUpgradeCodeX86) << "\">\n"
        << "    <Package InstallerVersion=\"200\" Compressed=\"yes\" InstallScope=\"perMachine\""
        << " Description=\"VostrelControl: mailbox messages with a LEGO Mindstorms NXT brick ("
        << bits << ")\" Manufacturer=\"Vostrel\"/>\n"
        << "    <MajorUpgrade DowngradeErrorMessage=\"A later version of VostrelControl (" << bits
        << ") is already installed.\"/>\n"
        // The later version is installed before the earlier one is removed:
        // components both hold (by GUID) then stay, so the earlier package's
        // removal, which took whole keys, cannot take what the other
        // architecture's package shares with it.
        << "    <InstallExecuteSequence><RemoveExistingProducts After=\"InstallFinalize\"/>"
        << "</InstallExecuteSequence>\n"
        << "    <Media Id=\"1\" Cabinet=\"VostrelControl.cab\" EmbedCab=\"yes\"/>\n"
        << "    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">\n"
        << "      <Directory Id=\"" << (spec.win64 ? "ProgramFiles64Folder" : "ProgramFilesFolder")
        << "\">\n"
        << "        <Directory Id=\"INSTALLDIR\" Name=\"VostrelControl\">\n";
    // The module and every registry row that names it, in one component:
    // installed and removed together.
    out << "          <Component Id=\"Module\" Guid=\"*\" Win64=\"" << win64 << "\">\n"
        << "            <File Id=\"" << kModuleFile << "\" Name=\"" << kModuleFile << "\" Source=\""
        << kModuleFile << "\" KeyPath=\"yes\"/>\n";
    WriteRows(out, moduleRows, moduleKeys, false, olderKeys);
    out << "          </Component>\n";
    const char* files[][2] = {
        {"TypeLibrary", "VostrelControl.tlb"}, {"Tool", "vostrel.exe"}, {"Readme", "README.txt"}};
    for (const auto& [id, name] : files) {
        out << "          <Component Id=\"" << id << "\" Guid=\"*\" Win64=\"" << win64 << "\">\n"
            << "            <File Id=\"" << name << "\" Name=\"" << name << "\" Source=\"" << name
            << "\" KeyPath=\"yes\"/>\n"
            << "          </Component>\n";
    }
    out << "        </Directory>\n      </Directory>\n";
    // Shared with the other package, so the same in both, in the folder both
    // have: the library's name and flags, and the interfaces of the 32-bit
    // view (RegisterTypeLib in a 64-bit process writes them there too, so
    // 32-bit clients can marshal them).
    out << "      <Component Id=\"Library\" Guid=\"" << kSharedLibraryGuid << "\" Win64=\"no\">\n";
    // With the last product goes also the help folder the first packages
    // registered (the library has no help file).
    WriteRows(out, reg::SharedLibraryRows(), {}, true, {reg::LibraryKeys().front() + "\\HELPDIR"});
    out << "      </Component>\n";
    out << "      <Component Id=\"Interfaces32\" Guid=\"" << kSharedInterfacesGuid
        << "\" Win64=\"no\">\n";
    WriteRows(out, reg::InterfaceRows(), {}, true);
    out << "      </Component>\n";
    out << "    </Directory>\n"
        << "    <Feature Id=\"Control\" Title=\"VostrelControl\" Level=\"1\">\n"
        << "      <ComponentRef Id=\"Module\"/>\n"
        << "      <ComponentRef Id=\"Library\"/>\n"
        << "      <ComponentRef Id=\"Interfaces32\"/>\n";
    for (const auto& [id, name] : files) out << "      <ComponentRef Id=\"" << id << "\"/>\n";
    out << "    </Feature>\n  </Product>\n</Wix>\n";
    return out.str();
}

}  // namespace vostrel::activex::installer
