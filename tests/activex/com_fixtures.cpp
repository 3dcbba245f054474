#include "tests/activex/com_fixtures.hpp"

namespace vostrel::activex::testing {

namespace {
template <class T>
HRESULT Give(T* object, void** out) {
    *out = object;
    object->AddRef();
    return S_OK;
}
}  // namespace

// --- AmbientSite ----------------------------------------------------------------

HRESULT AmbientSite::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite))
        return Give(static_cast<IOleClientSite*>(this), out);
    if (IsEqualIID(iid, IID_IDispatch)) return Give(static_cast<IDispatch*>(this), out);
    if (window && (IsEqualIID(iid, IID_IOleInPlaceSite) || IsEqualIID(iid, IID_IOleWindow)))
        return Give(static_cast<IOleInPlaceSite*>(this), out);
    return E_NOINTERFACE;
}

HRESULT AmbientSite::GetMoniker(DWORD, DWORD, IMoniker** m) {
    if (m) *m = nullptr;
    return E_NOTIMPL;
}

HRESULT AmbientSite::GetContainer(IOleContainer** c) {
    if (c) *c = nullptr;
    return E_NOINTERFACE;
}

HRESULT AmbientSite::GetTypeInfoCount(UINT* n) {
    *n = 0;
    return S_OK;
}

HRESULT AmbientSite::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result,
                            EXCEPINFO*, UINT*) {
    if (id != DISPID_AMBIENT_USERMODE || !(flags & DISPATCH_PROPERTYGET) || !result)
        return DISP_E_MEMBERNOTFOUND;
    ++userModeQueries;
    if (answer == Answer::Nothing) return DISP_E_MEMBERNOTFOUND;
    V_VT(result) = VT_BOOL;
    V_BOOL(result) = answer == Answer::RunMode ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

// --- MemoryBag --------------------------------------------------------------------

MemoryBag::~MemoryBag() {
    for (auto& [name, value] : values) VariantClear(&value);
}

void MemoryBag::Set(const std::wstring& name, const VARIANT& value) {
    VARIANT copy;
    VariantInit(&copy);
    VariantCopy(&copy, const_cast<VARIANT*>(&value));
    auto [it, fresh] = values.emplace(name, copy);
    if (!fresh) {
        VariantClear(&it->second);
        it->second = copy;
    }
}

HRESULT MemoryBag::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyBag))
        return Give(static_cast<IPropertyBag*>(this), out);
    return E_NOINTERFACE;
}

HRESULT MemoryBag::Read(LPCOLESTR name, VARIANT* value, IErrorLog*) {
    if (!name || !value) return E_POINTER;
    if (failReadOf != S_OK && failName == name) return failReadOf;
    auto it = values.find(name);
    if (it == values.end()) return E_INVALIDARG;
    const VARTYPE wanted = V_VT(value);
    VariantInit(value);
    if (wanted == VT_EMPTY) return VariantCopy(value, &it->second);
    return VariantChangeType(value, &it->second, 0, wanted);
}

HRESULT MemoryBag::Write(LPCOLESTR name, VARIANT* value) {
    if (!name || !value) return E_POINTER;
    writes.emplace_back(name, V_VT(value));
    Set(name, *value);
    return S_OK;
}

// --- EventRecorder ----------------------------------------------------------------

HRESULT EventRecorder::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, events_))
        return Give(static_cast<IDispatch*>(this), out);
    return E_NOINTERFACE;
}

HRESULT EventRecorder::GetTypeInfoCount(UINT* n) {
    *n = 0;
    return S_OK;
}

HRESULT EventRecorder::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                              EXCEPINFO*, UINT*) {
    if (!(flags & DISPATCH_METHOD) || !params) return DISP_E_MEMBERNOTFOUND;
    int mailBox = -1;
    if (params->cArgs == 1) {
        argumentTypes.push_back(V_VT(&params->rgvarg[0]));
        if (V_VT(&params->rgvarg[0]) == (VT_BYREF | VT_I2)) mailBox = *V_I2REF(&params->rgvarg[0]);
    }
    events.emplace_back(id, mailBox);
    if (id == 2 && onNewMail) onNewMail(static_cast<short>(mailBox));
    if (id == 1 && onNoPing) onNoPing();
    return S_OK;
}

// --- ChangeRecorder -----------------------------------------------------------------

HRESULT ChangeRecorder::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyNotifySink))
        return Give(static_cast<IPropertyNotifySink*>(this), out);
    return E_NOINTERFACE;
}

void PumpMessages(DWORD ms, const std::function<bool()>& done) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done && done()) return;
        const ULONGLONG now = GetTickCount64();
        if (now >= end) return;
        MsgWaitForMultipleObjects(
            0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(end - now, 20)), QS_ALLINPUT);
    }
}

}  // namespace vostrel::activex::testing
