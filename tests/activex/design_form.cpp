// A test-only COM class, VostrelTest.DesignForm, for the script tests: a
// form being designed. Its Place() sites a new Vostrel control on a client
// site whose ambient UserMode is False and hands the control to the script,
// which then meets the design-time refusal (error 387) that cscript alone,
// siting nothing, never shows.
#include <windows.h>
// After windows.h, which they need:
#include <olectl.h>

#include "activex/guids.hpp"

namespace {

// {d68d3bb0-f4a5-4f66-b8ed-de1c6bba0b4f}, registered by scripts.sh.
constexpr GUID kDesignFormClsid =
    vostrel::activex::MakeGuid("d68d3bb0-f4a5-4f66-b8ed-de1c6bba0b4f");
constexpr DISPID kPlace = 1;

// Reference counting for heap objects of one interface set.
template <class Derived>
class RefCounted {
public:
    ULONG AddRefImpl() { return ++refs_; }
    ULONG ReleaseImpl() {
        const ULONG left = --refs_;
        if (left == 0) delete static_cast<Derived*>(this);
        return left;
    }

private:
    ULONG refs_ = 1;
};

// IDispatch members a helper answers with nothing.
#define VOSTREL_NO_TYPE_INFO                                       \
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { \
        *n = 0;                                                    \
        return S_OK;                                               \
    }                                                              \
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }

class DesignSite final : public IOleClientSite, public IDispatch, public RefCounted<DesignSite> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite))
            *out = static_cast<IOleClientSite*>(this);
        else if (IsEqualIID(iid, IID_IDispatch))
            *out = static_cast<IDispatch*>(this);
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    HRESULT STDMETHODCALLTYPE SaveObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** m) override {
        *m = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** c) override {
        *c = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }
    VOSTREL_NO_TYPE_INFO
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    // The ambient properties: UserMode False, the designer's.
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result,
                                     EXCEPINFO*, UINT*) override {
        if (id != DISPID_AMBIENT_USERMODE || !result) return DISP_E_MEMBERNOTFOUND;
        V_VT(result) = VT_BOOL;
        V_BOOL(result) = VARIANT_FALSE;
        return S_OK;
    }
};

class DesignForm final : public IDispatch, public RefCounted<DesignForm> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) return E_NOINTERFACE;
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    VOSTREL_NO_TYPE_INFO
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (count != 1 || lstrcmpiW(names[0], L"Place") != 0) {
            for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        ids[0] = kPlace;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result,
                                     EXCEPINFO*, UINT*) override {
        if (id != kPlace) return DISP_E_MEMBERNOTFOUND;
        IOleObject* control = nullptr;
        HRESULT hr = CoCreateInstance(vostrel::activex::kClsId, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IOleObject, reinterpret_cast<void**>(&control));
        if (FAILED(hr)) return hr;
        DesignSite* site = new DesignSite;
        control->SetClientSite(site);  // the control keeps the site
        site->Release();
        IPersistPropertyBag* persist = nullptr;
        if (SUCCEEDED(control->QueryInterface(IID_IPersistPropertyBag,
                                              reinterpret_cast<void**>(&persist)))) {
            persist->InitNew();
            persist->Release();
        }
        IDispatch* dispatch = nullptr;
        hr = control->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
        control->Release();
        if (FAILED(hr)) return hr;
        if (!result) {
            dispatch->Release();
            return S_OK;
        }
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = dispatch;
        return S_OK;
    }
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
            return E_NOINTERFACE;
        *out = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        DesignForm* form = new DesignForm;
        const HRESULT hr = form->QueryInterface(iid, out);
        form->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    static Factory factory;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kDesignFormClsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(iid, out);
}

// Kept loaded for the process: a script ends long before it matters.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }
