// The COM ports Windows knows: the serial-comm device map in the registry.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>

#include "tool/serial_devices.hpp"

namespace vostrel::tool {

namespace {
std::string Narrow(const wchar_t* text, std::size_t length) {
    const int n = static_cast<int>(length);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, n, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, n, out.data(), bytes, nullptr, nullptr);
    return out;
}
}  // namespace

std::vector<SerialDevice> ListComPorts() {
    std::vector<SerialDevice> found;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS)
        return found;  // no serial port at all
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        wchar_t data[64];
        DWORD dataBytes = sizeof data;
        DWORD type = 0;
        const LONG r = ::RegEnumValueW(key, i, name, &nameLength, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data), &dataBytes);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        std::size_t dataLength = dataBytes / sizeof(wchar_t);
        while (dataLength > 0 && data[dataLength - 1] == L'\0') --dataLength;
        if (auto d = ComPortEntry(Narrow(name, nameLength), Narrow(data, dataLength)))
            found.push_back(std::move(*d));
    }
    ::RegCloseKey(key);
    std::sort(found.begin(), found.end(),
              [](const SerialDevice& a, const SerialDevice& b) { return *a.port < *b.port; });
    return found;
}

}  // namespace vostrel::tool
