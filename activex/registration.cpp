// Self-registration: the class, its ProgIDs and the type library, for the
// whole machine (DllRegisterServer, as administrator) or for the current
// user (regsvr32 /n /i:user, through DllInstall, under
// HKCU\Software\Classes). Unregistration removes exactly what registration
// writes. The entries are the rows of registry_layout.hpp, which the
// Windows Installer packages are generated from too.
#include <windows.h>

#include <string>
#include <vector>

#include "activex/guids.hpp"
#include "activex/module.hpp"
#include "activex/registry_layout.hpp"
#include "activex/resource_ids.h"

namespace vostrel::activex {

namespace {

static_assert(VOSTREL_IDB_TOOLBOX == typelib::kToolboxBitmapId, "the registered toolbox picture");

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), n);
    return out;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(std::size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// Where the keys go: HKLM\Software\Classes (the machine's HKEY_CLASSES_ROOT)
// or HKCU\Software\Classes (the user's).
HKEY Root(bool perUser) { return perUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }
std::wstring Under(const std::wstring& key) { return L"Software\\Classes\\" + key; }

LONG WriteRow(bool perUser, const registry::Row& row) {
    HKEY handle = nullptr;
    LONG rc = RegCreateKeyExW(Root(perUser), Under(Wide(row.key)).c_str(), 0, nullptr, 0, KEY_WRITE,
                              nullptr, &handle, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    if (!row.keyOnly) {
        const std::wstring name = Wide(row.name), value = Wide(row.value);
        rc = RegSetValueExW(handle, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(handle);
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

// The module's place, as the registry rows name it.
registry::Module ThisModule() {
    const std::wstring path = ModulePath();
    return {Utf8(path), Utf8(path.substr(0, path.find_last_of(L'\\') + 1)), sizeof(void*) == 8};
}

HRESULT WriteRows(bool perUser, const std::vector<registry::Row>& rows) {
    for (const registry::Row& row : rows) {
        const HRESULT hr = Check(WriteRow(perUser, row));
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT RegisterClassKeys(bool perUser) {
    if (ModulePath().empty()) return HRESULT_FROM_WIN32(GetLastError());
    return WriteRows(perUser, registry::ClassRows(ThisModule()));
}

HRESULT UnregisterClassKeys(bool perUser) {
    HRESULT hr = S_OK;
    for (const std::string& key : registry::ClassKeys()) {
        const HRESULT one = Check(DeleteTree(perUser, Wide(key)));
        if (SUCCEEDED(hr)) hr = one;
    }
    if (perUser) DeleteIfEmpty(true, L"CLSID");
    return hr;
}

std::wstring LibraryKey() { return L"TypeLib\\" + Wide(registry::Braced(typelib::kLibId)); }
// The library's version key, which the 32- and 64-bit modules share.
std::wstring VersionKey() { return Wide(registry::LibraryKeys().front()); }

// Whether any module's entry (a locale's key) is left in the version key.
bool EntriesLeft(bool perUser) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(Root(perUser), Under(VersionKey()).c_str(), 0, KEY_READ, &handle) !=
        ERROR_SUCCESS)
        return false;
    bool left = false;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = 256;
        if (RegEnumKeyExW(handle, i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        if (lstrcmpiW(name, L"FLAGS") != 0 && lstrcmpiW(name, L"HELPDIR") != 0) left = true;
    }
    RegCloseKey(handle);
    return left;
}

// An earlier registration of this very module wrote its entry under the
// English locale (409); that entry goes, one of another module stays.
void RemoveOlderEntry(bool perUser) {
    const std::wstring key = Wide(registry::OlderLibraryEntryKey(sizeof(void*) == 8));
    wchar_t value[1024];
    DWORD size = sizeof value;
    if (RegGetValueW(Root(perUser), Under(key).c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS ||
        lstrcmpiW(value, ModulePath().c_str()) != 0)
        return;
    RegDeleteKeyW(Root(perUser), Under(key).c_str());
    DeleteIfEmpty(perUser, key.substr(0, key.find_last_of(L'\\')));
}

// Per user, written by hand as RegisterTypeLib writes for the machine:
// RegisterTypeLibForUser is not everywhere what it promises (Wine's
// writes for the machine).
HRESULT RegisterLibraryForUser() {
    const HRESULT hr = WriteRows(true, registry::LibraryRows(ThisModule()));
    return FAILED(hr) ? hr : WriteRows(true, registry::InterfaceRows());
}

HRESULT UnregisterLibraryForUser() {
    // This module's entry; the version key only when no other module's
    // (the other architecture's) is left in it.
    const std::string entry = registry::LibraryEntryRow(ThisModule()).key;
    HRESULT hr = Check(DeleteTree(true, Wide(entry)));
    DeleteIfEmpty(true, Wide(entry.substr(0, entry.find_last_of('\\'))));
    RemoveOlderEntry(true);
    std::vector<std::string> keys = registry::InterfaceKeys();
    if (!EntriesLeft(true)) keys.push_back(registry::LibraryKeys().front());
    for (const std::string& key : keys) {
        const HRESULT one = Check(DeleteTree(true, Wide(key)));
        if (SUCCEEDED(hr)) hr = one;
    }
    // The library's own key goes only when no other version is left in it.
    DeleteIfEmpty(true, LibraryKey());
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
    hr = perUser ? RegisterLibraryForUser()
                 : RegisterTypeLib(library, const_cast<wchar_t*>(path.c_str()),
                                   const_cast<wchar_t*>(folder.c_str()));
    library->Release();
    if (SUCCEEDED(hr) && !perUser) {
        // No help file, so no help folder (RegisterTypeLib writes one even
        // when given none): it would name one architecture's folder in the
        // key both share, as the packages register it.
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, Under(VersionKey() + L"\\HELPDIR").c_str());
    }
    if (SUCCEEDED(hr)) RemoveOlderEntry(perUser);
    return hr;
}

HRESULT UnregisterLibrary(bool perUser) {
    if (perUser) return UnregisterLibraryForUser();
    const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    RemoveOlderEntry(false);
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
