#include "activex/type_info.hpp"

#include <mutex>
#include <string>

#include "activex/module.hpp"

namespace vostrel::activex {

HRESULT EmbeddedTypeInfo(REFGUID guid, ITypeInfo** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    // Kept for the process's life once loaded; the library is read-only.
    static std::mutex lock;
    static ITypeLib* library = nullptr;
    std::lock_guard<std::mutex> hold(lock);
    if (!library) {
        const std::wstring path = ModulePath();
        const HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
        if (FAILED(hr)) return hr;
    }
    return library->GetTypeInfoOfGuid(guid, out);
}

}  // namespace vostrel::activex
