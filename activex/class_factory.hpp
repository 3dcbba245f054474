// The class object of the Vostrel control: creates instances and keeps the
// server loaded on request (LockServer).
#pragma once

#include <windows.h>

namespace vostrel::activex {

class ClassFactory final : public IClassFactory {
public:
    // IUnknown: the class object lives as long as the module; a reference
    // a client holds keeps the module loaded, as a server lock does.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IClassFactory
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;
};

/// The module's one class object.
ClassFactory& TheClassFactory();

}  // namespace vostrel::activex
