// Self-registration: the class, its ProgIDs and the type library, for the
// whole machine (DllRegisterServer, as administrator) or for the current
// user (regsvr32 /n /i:user, through DllInstall, under
// HKCU\Software\Classes). Unregistration removes exactly what registration
// writes.
#include <windows.h>

#include <cwchar>
#include <string>
#include <utility>

#include "activex/guids.hpp"
#include "activex/module.hpp"
#include "activex/resource_ids.h"

namespace vostrel::activex {

namespace {

constexpr const wchar_t* kProgId = L"VostrelControl.Vostrel";
constexpr const wchar_t* kProgIdVersioned = L"VostrelControl.Vostrel.1";
constexpr const wchar_t* kClassName = L"Vostrel";
// CATID_Control: the "Controls" component category.
constexpr const wchar_t* kControlCategory = L"{40FC6ED4-2438-11CF-A3DB-080036F12502}";
static_assert(VOSTREL_IDB_TOOLBOX == typelib::kToolboxBitmapId, "the registered toolbox picture");

std::wstring Braced(const GUID& g) {
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return text;
}

// Where the keys go: HKLM\Software\Classes (the machine's HKEY_CLASSES_ROOT)
// or HKCU\Software\Classes (the user's).
HKEY Root(bool perUser) { return perUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }
std::wstring Under(const std::wstring& key) { return L"Software\\Classes\\" + key; }

LONG SetValue(bool perUser, const std::wstring& key, const wchar_t* name,
              const std::wstring& value) {
    HKEY handle = nullptr;
    LONG rc = RegCreateKeyExW(Root(perUser), Under(key).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &handle, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return rc;
}

LONG CreateKey(bool perUser, const std::wstring& key) {
    HKEY handle = nullptr;
    const LONG rc = RegCreateKeyExW(Root(perUser), Under(key).c_str(), 0, nullptr, 0, KEY_WRITE,
                                    nullptr, &handle, nullptr);
    if (rc == ERROR_SUCCESS) RegCloseKey(handle);
    return rc;
}

LONG DeleteTree(bool perUser, const std::wstring& key) {
    const LONG rc = RegDeleteTreeW(Root(perUser), Under(key).c_str());
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
        RegDeleteKeyW(Root(perUser), Under(key).c_str());
        return ERROR_SUCCESS;
    }
    return rc;
}

// Removes `key` when it holds nothing at all (no value, no subkey): the
// parents registration had to create in a user's hive.
void DeleteIfEmpty(bool perUser, const std::wstring& key) {
    const std::wstring path = key.empty() ? L"Software\\Classes" : Under(key);
    HKEY handle = nullptr;
    if (RegOpenKeyExW(Root(perUser), path.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return;
    DWORD subkeys = 1, values = 1;
    RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                     nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(handle);
    if (subkeys == 0 && values == 0) RegDeleteKeyW(Root(perUser), path.c_str());
}

HRESULT Check(LONG rc) { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc); }

HRESULT RegisterClassKeys(bool perUser) {
    const std::wstring path = ModulePath();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    const std::wstring clsid = Braced(kClsId);
    const std::wstring cls = L"CLSID\\" + clsid;
    const std::wstring misc = std::to_wstring(typelib::kOleMiscStatus);
    HRESULT hr = S_OK;
    auto set = [&](const std::wstring& key, const wchar_t* name, const std::wstring& value) {
        if (SUCCEEDED(hr)) hr = Check(SetValue(perUser, key, name, value));
    };
    // The class's name is what a container's list of controls shows.
    set(cls, nullptr, kClassName);
    set(cls + L"\\InprocServer32", nullptr, path);
    set(cls + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    if (SUCCEEDED(hr)) hr = Check(CreateKey(perUser, cls + L"\\Control"));
    set(cls + L"\\MiscStatus", nullptr, misc);
    set(cls + L"\\MiscStatus\\1", nullptr, misc);
    set(cls + L"\\ToolboxBitmap32", nullptr,
        path + L", " + std::to_wstring(typelib::kToolboxBitmapId));
    set(cls + L"\\TypeLib", nullptr, Braced(kLibId));
    set(cls + L"\\Version", nullptr,
        std::to_wstring(typelib::kClassMajor) + L"." + std::to_wstring(typelib::kClassMinor));
    set(cls + L"\\ProgID", nullptr, kProgIdVersioned);
    set(cls + L"\\VersionIndependentProgID", nullptr, kProgId);
    if (SUCCEEDED(hr))
        hr = Check(CreateKey(perUser, cls + L"\\Implemented Categories\\" + kControlCategory));
    set(kProgId, nullptr, kClassName);
    set(std::wstring(kProgId) + L"\\CLSID", nullptr, clsid);
    set(std::wstring(kProgId) + L"\\CurVer", nullptr, kProgIdVersioned);
    set(kProgIdVersioned, nullptr, kClassName);
    set(std::wstring(kProgIdVersioned) + L"\\CLSID", nullptr, clsid);
    return hr;
}

HRESULT UnregisterClassKeys(bool perUser) {
    HRESULT hr = S_OK;
    for (const std::wstring& key :
         {L"CLSID\\" + Braced(kClsId), std::wstring(kProgId), std::wstring(kProgIdVersioned)}) {
        const HRESULT one = Check(DeleteTree(perUser, key));
        if (SUCCEEDED(hr)) hr = one;
    }
    if (perUser) DeleteIfEmpty(true, L"CLSID");
    return hr;
}

// The type library's keys, as RegisterTypeLib writes them: TypeLib\{libid}
// with the version in hex, and each interface's proxy and library.
std::wstring LibraryVersion() {
    wchar_t text[16];
    swprintf(text, 16, L"%x.%x", unsigned(typelib::kLibraryMajor),
             unsigned(typelib::kLibraryMinor));
    return text;
}
std::wstring LibraryKey() { return L"TypeLib\\" + Braced(kLibId); }
std::wstring InterfaceKey(const GUID& iid) { return L"Interface\\" + Braced(iid); }

// Per user, written by hand: RegisterTypeLibForUser is not everywhere
// what it promises (Wine's writes for the machine).
HRESULT RegisterLibraryForUser(ITypeLib* library, const std::wstring& path,
                               const std::wstring& folder) {
    TLIBATTR* attr = nullptr;
    HRESULT hr = library->GetLibAttr(&attr);
    if (FAILED(hr)) return hr;
    const std::wstring flags = std::to_wstring(attr->wLibFlags);
    const wchar_t* kind = attr->syskind == SYS_WIN64 ? L"win64" : L"win32";
    wchar_t lcid[16];
    swprintf(lcid, 16, L"%lx", static_cast<unsigned long>(attr->lcid));
    library->ReleaseTLibAttr(attr);
    const std::wstring version = LibraryKey() + L"\\" + LibraryVersion();
    auto set = [&](const std::wstring& key, const wchar_t* name, const std::wstring& value) {
        if (SUCCEEDED(hr)) hr = Check(SetValue(true, key, name, value));
    };
    set(version, nullptr,
        std::wstring(typelib::kLibraryHelpString.begin(), typelib::kLibraryHelpString.end()));
    set(version + L"\\" + lcid + L"\\" + kind, nullptr, path);
    set(version + L"\\FLAGS", nullptr, flags);
    set(version + L"\\HELPDIR", nullptr, folder);
    // Dual interfaces marshal through the Automation proxy (PSOAInterface),
    // dispinterfaces through PSDispatch.
    const std::pair<GUID, std::string_view> interfaces[] = {
        {kIidVostrel, typelib::kInterfaceName}, {kIidVostrelEvents, typelib::kEventInterfaceName}};
    for (const auto& [iid, name] : interfaces) {
        const std::wstring key = InterfaceKey(iid);
        const std::wstring proxy = IsEqualGUID(iid, kIidVostrel)
                                       ? L"{00020424-0000-0000-C000-000000000046}"
                                       : L"{00020420-0000-0000-C000-000000000046}";
        set(key, nullptr, std::wstring(name.begin(), name.end()));
        set(key + L"\\ProxyStubClsid", nullptr, proxy);
        set(key + L"\\ProxyStubClsid32", nullptr, proxy);
        set(key + L"\\TypeLib", nullptr, Braced(kLibId));
        set(key + L"\\TypeLib", L"Version", LibraryVersion());
    }
    return hr;
}

HRESULT UnregisterLibraryForUser() {
    HRESULT hr = Check(DeleteTree(true, LibraryKey() + L"\\" + LibraryVersion()));
    // The library's own key goes only when no other version is left in it.
    DeleteIfEmpty(true, LibraryKey());
    for (const GUID& iid : {kIidVostrel, kIidVostrelEvents}) {
        const HRESULT one = Check(DeleteTree(true, InterfaceKey(iid)));
        if (SUCCEEDED(hr)) hr = one;
    }
    DeleteIfEmpty(true, L"TypeLib");
    DeleteIfEmpty(true, L"Interface");
    return hr;
}

HRESULT RegisterLibrary(bool perUser) {
    const std::wstring path = ModulePath();
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
    if (FAILED(hr)) return hr;
    std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
    hr = perUser ? RegisterLibraryForUser(library, path, folder)
                 : RegisterTypeLib(library, const_cast<wchar_t*>(path.c_str()),
                                   const_cast<wchar_t*>(folder.c_str()));
    library->Release();
    return hr;
}

HRESULT UnregisterLibrary(bool perUser) {
    if (perUser) return UnregisterLibraryForUser();
    const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    const HRESULT hr =
        UnRegisterTypeLib(kLibId, static_cast<WORD>(typelib::kLibraryMajor),
                          static_cast<WORD>(typelib::kLibraryMinor), typelib::kLibraryLcid, kind);
    // Not registered (any more) is what unregistering asks for.
    return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_CANTLOADLIBRARY ? S_OK : hr;
}

HRESULT Register(bool perUser) {
    HRESULT hr = RegisterClassKeys(perUser);
    if (SUCCEEDED(hr)) hr = RegisterLibrary(perUser);
    if (FAILED(hr)) {  // leave nothing half-written behind
        UnregisterLibrary(perUser);
        UnregisterClassKeys(perUser);
    }
    return hr;
}

HRESULT Unregister(bool perUser) {
    const HRESULT library = UnregisterLibrary(perUser);
    const HRESULT keys = UnregisterClassKeys(perUser);
    if (perUser) DeleteIfEmpty(true, L"");  // a user's Software\Classes made for us
    return FAILED(keys) ? keys : library;
}

}  // namespace

}  // namespace vostrel::activex

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() { return vostrel::activex::Register(false); }

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return vostrel::activex::Unregister(false);
}

// regsvr32 /n /i:user (and /u /n /i:user): registration for the current
// user alone, which needs no administrator rights. Any other command line
// registers for the machine.
extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR commandLine) {
    const bool perUser = commandLine && lstrcmpiW(commandLine, L"user") == 0;
    return install ? vostrel::activex::Register(perUser) : vostrel::activex::Unregister(perUser);
}
