// The class object of the Vostrel control: creates instances and keeps the
// server loaded on request (LockServer).
#pragma once

#include <windows.h>

namespace vostrel::activex {

class ClassFactory final : public IClassFactory {
public:
    // IUnknown: the class object lives as long as the module; only server
    // locks keep the module loaded.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    // IClassFactory
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;
};

/// The module's one class object.
ClassFactory& TheClassFactory();

}  // namespace vostrel::activex
