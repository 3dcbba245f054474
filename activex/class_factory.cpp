#include "activex/class_factory.hpp"

#include "activex/module.hpp"
#include "activex/vostrel_object.hpp"

namespace vostrel::activex {

HRESULT ClassFactory::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG ClassFactory::AddRef() {
    AddModuleRef();
    return 2;  // the object itself is the module's, never freed
}

ULONG ClassFactory::Release() {
    ReleaseModuleRef();
    return 1;
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return VostrelObject::Create(iid, out);
}

HRESULT ClassFactory::LockServer(BOOL lock) {
    if (lock)
        AddModuleRef();
    else
        ReleaseModuleRef();
    return S_OK;
}

ClassFactory& TheClassFactory() {
    static ClassFactory factory;
    return factory;
}

}  // namespace vostrel::activex
