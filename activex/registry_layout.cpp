#include "activex/registry_layout.hpp"

#include <cctype>
#include <cstdio>

#include "vostrel/type_library.hpp"

namespace vostrel::activex::registry {

namespace tl = vostrel::typelib;

namespace {

std::string Text(std::string_view s) { return std::string(s); }

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

// RegisterTypeLib's form of the library version: major.minor in hex.
std::string LibraryVersion() { return Hex(tl::kLibraryMajor) + "." + Hex(tl::kLibraryMinor); }
std::string LibraryKey() { return "TypeLib\\" + Braced(tl::kLibId); }

}  // namespace

std::string Braced(std::string_view guid) {
    std::string out = "{";
    for (char c : guid) out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out + "}";
}

std::vector<Row> ClassRows(const Module& module) {
    const std::string clsid = Braced(tl::kClsId);
    const std::string cls = "CLSID\\" + clsid;
    const std::string misc = std::to_string(tl::kOleMiscStatus);
    const std::string progId = Text(kProgId), versioned = Text(kProgIdVersioned);
    // The class's name is what a container's list of controls shows.
    return {
        {cls, "", Text(tl::kClassName)},
        {cls + "\\InprocServer32", "", module.path},
        {cls + "\\InprocServer32", "ThreadingModel", Text(kThreadingModel)},
        {cls + "\\Control", "", "", true},
        {cls + "\\MiscStatus", "", misc},
        {cls + "\\MiscStatus\\1", "", misc},
        {cls + "\\ToolboxBitmap32", "", module.path + ", " + std::to_string(tl::kToolboxBitmapId)},
        {cls + "\\TypeLib", "", Braced(tl::kLibId)},
        {cls + "\\Version", "",
         std::to_string(tl::kClassMajor) + "." + std::to_string(tl::kClassMinor)},
        {cls + "\\ProgID", "", versioned},
        {cls + "\\VersionIndependentProgID", "", progId},
        {cls + "\\Implemented Categories\\" + Text(kControlCategory), "", "", true},
        {progId, "", Text(tl::kClassName)},
        {progId + "\\CLSID", "", clsid},
        {progId + "\\CurVer", "", versioned},
        {versioned, "", Text(tl::kClassName)},
        {versioned + "\\CLSID", "", clsid},
    };
}

std::vector<Row> SharedLibraryRows() {
    const std::string version = LibraryKey() + "\\" + LibraryVersion();
    // LIBFLAG_FCONTROL, and LIBFLAG_FHASDISKIMAGE, which every compiled
    // library carries.
    const unsigned flags = (tl::kLibraryIsControl ? 2u : 0u) | 8u;
    return {
        {version, "", Text(tl::kLibraryHelpString)},
        {version + "\\FLAGS", "", std::to_string(flags)},
    };
}

Row LibraryEntryRow(const Module& module) {
    const std::string version = LibraryKey() + "\\" + LibraryVersion();
    return {version + "\\" + Hex(tl::kLibraryLcid) + "\\" + (module.win64 ? "win64" : "win32"), "",
            module.path};
}

std::string OlderLibraryEntryKey(bool win64) {
    return LibraryKey() + "\\" + LibraryVersion() + "\\409\\" + (win64 ? "win64" : "win32");
}

std::vector<Row> LibraryRows(const Module& module) {
    std::vector<Row> rows = SharedLibraryRows();
    rows.insert(rows.begin() + 1, LibraryEntryRow(module));
    return rows;
}

std::vector<Row> InterfaceRows() {
    std::vector<Row> rows;
    const std::pair<std::string_view, std::string_view> interfaces[] = {
        {tl::kIidVostrel, tl::kInterfaceName}, {tl::kIidVostrelEvents, tl::kEventInterfaceName}};
    for (const auto& [iid, name] : interfaces) {
        const std::string key = "Interface\\" + Braced(iid);
        const std::string proxy = Text(iid == tl::kIidVostrel ? kProxyDual : kProxyDispatch);
        rows.push_back({key, "", Text(name)});
        rows.push_back({key + "\\ProxyStubClsid", "", proxy});
        rows.push_back({key + "\\ProxyStubClsid32", "", proxy});
        rows.push_back({key + "\\TypeLib", "", Braced(tl::kLibId)});
        rows.push_back({key + "\\TypeLib", "Version", LibraryVersion()});
    }
    return rows;
}

std::vector<std::string> ClassKeys() {
    return {"CLSID\\" + Braced(tl::kClsId), Text(kProgId), Text(kProgIdVersioned)};
}

std::vector<std::string> LibraryKeys() {
    // The library's version alone: another version may be registered.
    return {LibraryKey() + "\\" + LibraryVersion()};
}

std::vector<std::string> InterfaceKeys() {
    return {"Interface\\" + Braced(tl::kIidVostrel), "Interface\\" + Braced(tl::kIidVostrelEvents)};
}

}  // namespace vostrel::activex::registry
