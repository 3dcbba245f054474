// The module's entry point and its two class-object exports.
#include "activex/module.hpp"

#include <atomic>

#include "activex/class_factory.hpp"
#include "activex/guids.hpp"

namespace vostrel::activex {

namespace {
std::atomic<long> g_refs{0};
}  // namespace

HINSTANCE g_module = nullptr;

HINSTANCE ModuleHandle() { return g_module; }

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void AddModuleRef() { ++g_refs; }
void ReleaseModuleRef() { --g_refs; }
long ModuleRefs() { return g_refs; }

}  // namespace vostrel::activex

using namespace vostrel::activex;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kClsId)) return CLASS_E_CLASSNOTAVAILABLE;
    return TheClassFactory().QueryInterface(iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return ModuleRefs() == 0 ? S_OK : S_FALSE; }
