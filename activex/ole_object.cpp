// The control as an OLE embedding: sited by its container, activated in
// place in a child window of the container's (the design-time picture),
// told of ambient changes.
#include "activex/apartment_loop.hpp"
#include "activex/design_window.hpp"
#include "activex/guids.hpp"
#include "activex/vostrel_object.hpp"

namespace vostrel::activex {

// --- IOleObject ---------------------------------------------------------------

HRESULT VostrelObject::SetClientSite(IOleClientSite* site) {
    if (site) site->AddRef();
    if (site_) site_->Release();
    site_ = site;
    return S_OK;
}

HRESULT VostrelObject::GetClientSite(IOleClientSite** site) {
    if (!site) return E_POINTER;
    *site = site_;
    if (site_) site_->AddRef();
    return S_OK;
}

HRESULT VostrelObject::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

HRESULT VostrelObject::Close(DWORD) {
    InPlaceDeactivate();
    if (adviseHolder_) adviseHolder_->SendOnClose();
    return S_OK;
}

HRESULT VostrelObject::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

HRESULT VostrelObject::GetMoniker(DWORD, DWORD, IMoniker** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

HRESULT VostrelObject::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }

HRESULT VostrelObject::GetClipboardData(DWORD, IDataObject** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

HRESULT VostrelObject::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT rect) {
    switch (verb) {
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_INPLACEACTIVATE:
        case OLEIVERB_UIACTIVATE: {
            if (inPlaceSite_) return rect ? SetObjectRects(rect, rect) : S_OK;
            IOleClientSite* from = site ? site : site_;
            if (!from) return E_UNEXPECTED;
            IOleInPlaceSite* inPlace = nullptr;
            if (FAILED(
                    from->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&inPlace))))
                return S_OK;  // shown through IViewObject only
            HWND parent = nullptr;
            if (inPlace->CanInPlaceActivate() != S_OK || FAILED(inPlace->GetWindow(&parent)) ||
                !parent) {
                inPlace->Release();
                return S_OK;  // likewise
            }
            inPlace->OnInPlaceActivate();
            IOleInPlaceFrame* frame = nullptr;
            IOleInPlaceUIWindow* document = nullptr;
            RECT position{}, clip{};
            OLEINPLACEFRAMEINFO info{};
            info.cb = sizeof info;
            if (SUCCEEDED(inPlace->GetWindowContext(&frame, &document, &position, &clip, &info))) {
                position_ = position;
                if (frame) frame->Release();
                if (document) document->Release();
            } else if (rect) {
                position_ = *rect;
            }
            window_ = CreateDesignWindow(parent, position_, static_cast<IViewObject2*>(this),
                                         ShowsPicture());
            if (!window_) {
                const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
                inPlace->OnInPlaceDeactivate();
                inPlace->Release();
                return FAILED(hr) ? hr : E_FAIL;
            }
            inPlaceSite_ = inPlace;
            return S_OK;
        }
        case OLEIVERB_HIDE:
            return InPlaceDeactivate();
        default:
            return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
    }
}

HRESULT VostrelObject::EnumVerbs(IEnumOLEVERB** out) {
    if (!out) return E_POINTER;
    return OleRegEnumVerbs(kClsId, out);
}

HRESULT VostrelObject::Update() { return S_OK; }
HRESULT VostrelObject::IsUpToDate() { return S_OK; }

HRESULT VostrelObject::GetUserClassID(CLSID* out) {
    if (!out) return E_POINTER;
    *out = kClsId;
    return S_OK;
}

HRESULT VostrelObject::GetUserType(DWORD form, LPOLESTR* out) {
    if (!out) return E_POINTER;
    return OleRegGetUserType(kClsId, form, out);
}

HRESULT VostrelObject::SetExtent(DWORD aspect, SIZEL* size) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!size) return E_POINTER;
    extent_ = *size;
    return S_OK;
}

HRESULT VostrelObject::GetExtent(DWORD aspect, SIZEL* size) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!size) return E_POINTER;
    *size = extent_;
    return S_OK;
}

HRESULT VostrelObject::Advise(IAdviseSink* sink, DWORD* cookie) {
    if (!adviseHolder_) {
        const HRESULT hr = CreateOleAdviseHolder(&adviseHolder_);
        if (FAILED(hr)) return hr;
    }
    return adviseHolder_->Advise(sink, cookie);
}

HRESULT VostrelObject::Unadvise(DWORD cookie) {
    return adviseHolder_ ? adviseHolder_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}

HRESULT VostrelObject::EnumAdvise(IEnumSTATDATA** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return adviseHolder_ ? adviseHolder_->EnumAdvise(out) : S_OK;
}

HRESULT VostrelObject::GetMiscStatus(DWORD, DWORD* status) {
    if (!status) return E_POINTER;
    *status = typelib::kOleMiscStatus;
    return S_OK;
}

HRESULT VostrelObject::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

// --- IOleControl ------------------------------------------------------------------

HRESULT VostrelObject::GetControlInfo(CONTROLINFO* info) {
    if (!info) return E_POINTER;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

HRESULT VostrelObject::OnMnemonic(MSG*) { return E_NOTIMPL; }

HRESULT VostrelObject::OnAmbientPropertyChange(DISPID id) {
    // The run-mode flag is asked afresh whenever the control needs it; only
    // the picture (shown at design time alone) depends on it here.
    if (id == DISPID_AMBIENT_USERMODE || id == DISPID_UNKNOWN) {
        if (window_) {
            ShowWindow(window_, ShowsPicture() ? SW_SHOWNA : SW_HIDE);
            InvalidateRect(window_, nullptr, FALSE);
        }
        ViewChanged();
    }
    return S_OK;
}

HRESULT VostrelObject::FreezeEvents(BOOL freeze) {
    if (freeze) {
        ++frozenEvents_;
        return S_OK;
    }
    if (frozenEvents_ > 0) --frozenEvents_;  // a thaw without a freeze changes nothing
    if (frozenEvents_ > 0 || held_.empty()) return S_OK;
    // What came while frozen goes out from the message queue, once the
    // container's own call has returned, one notification at a time as
    // the control's own do.
    try {
        loop_->Post([this, alive = std::weak_ptr<void>(lifetime_)] {
            if (!alive.expired()) FireHeldEvents();
        });
    } catch (...) {
        FireHeldEvents();  // the queue refused: now rather than never
    }
    return S_OK;
}

// --- IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject -------------------------

HRESULT VostrelObject::GetWindow(HWND* window) {
    if (!window) return E_POINTER;
    *window = window_;
    return window_ ? S_OK : E_FAIL;  // a window only while active in place
}

HRESULT VostrelObject::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

HRESULT VostrelObject::InPlaceDeactivate() {
    if (!inPlaceSite_) return S_OK;
    IOleInPlaceSite* site = inPlaceSite_;
    inPlaceSite_ = nullptr;
    DestroyDesignWindow(window_);
    window_ = nullptr;
    site->OnInPlaceDeactivate();
    site->Release();
    return S_OK;
}

HRESULT VostrelObject::UIDeactivate() { return S_OK; }

HRESULT VostrelObject::SetObjectRects(LPCRECT position, LPCRECT) {
    if (!position) return E_POINTER;
    position_ = *position;
    if (window_)
        MoveWindow(window_, position_.left, position_.top, position_.right - position_.left,
                   position_.bottom - position_.top, TRUE);
    return S_OK;
}

HRESULT VostrelObject::ReactivateAndUndo() { return INPLACE_E_NOTUNDOABLE; }
HRESULT VostrelObject::TranslateAccelerator(LPMSG) { return S_FALSE; }
HRESULT VostrelObject::OnFrameWindowActivate(BOOL) { return S_OK; }
HRESULT VostrelObject::OnDocWindowActivate(BOOL) { return S_OK; }
HRESULT VostrelObject::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }
HRESULT VostrelObject::EnableModeless(BOOL) { return S_OK; }

}  // namespace vostrel::activex
