#include "activex/com_strings.hpp"

namespace vostrel::activex {

String FromBstr(const BSTR text) {
    const UINT n = text ? SysStringLen(text) : 0;
    String out(n, '\0');
    for (UINT i = 0; i < n; ++i) out[i] = text[i] <= 0xFF ? char(text[i]) : '?';
    return out;
}

BSTR ToBstr(const String& bytes) {
    BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(bytes.size()));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        out[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
    return out;
}

std::string NameFromWide(const wchar_t* name) {
    std::string out;
    for (; name && *name; ++name) out += *name < 0x80 ? char(*name) : '\x7f';
    return out;
}

}  // namespace vostrel::activex
