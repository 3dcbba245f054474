// Drawing the control: its picture (bitmap resource 1, 79 x 54 pixels)
// while the container is designed, nothing while it runs.
#include "activex/module.hpp"
#include "activex/resource_ids.h"
#include "activex/vostrel_object.hpp"

namespace vostrel::activex {

bool VostrelObject::ShowsPicture() { return !UserMode(); }

void VostrelObject::ViewChanged() {
    if (viewSink_ && (viewAspects_ & DVASPECT_CONTENT)) {
        viewSink_->OnViewChange(DVASPECT_CONTENT, -1);
        if (viewFlags_ & ADVF_ONLYONCE) {
            viewSink_->Release();
            viewSink_ = nullptr;
        }
    }
}

HRESULT VostrelObject::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc,
                            LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                            ULONG_PTR) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!dc || !bounds) return E_INVALIDARG;
    if (!ShowsPicture()) return S_OK;
    HBITMAP picture = static_cast<HBITMAP>(LoadImageW(ModuleHandle(),
                                                      MAKEINTRESOURCEW(VOSTREL_IDB_DESIGN_PICTURE),
                                                      IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (!picture) return HRESULT_FROM_WIN32(GetLastError());
    HDC memory = CreateCompatibleDC(dc);
    if (!memory) {  // a device that has none (a metafile): nothing drawn
        DeleteObject(picture);
        return E_FAIL;
    }
    HGDIOBJ old = SelectObject(memory, picture);
    SetStretchBltMode(dc, COLORONCOLOR);
    const BOOL drawn = StretchBlt(
        dc, bounds->left, bounds->top, bounds->right - bounds->left, bounds->bottom - bounds->top,
        memory, 0, 0, VOSTREL_DESIGN_PICTURE_WIDTH, VOSTREL_DESIGN_PICTURE_HEIGHT, SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(picture);
    return drawn ? S_OK : E_FAIL;
}

HRESULT VostrelObject::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) {
    if (colors) *colors = nullptr;
    return S_FALSE;  // no particular palette
}

HRESULT VostrelObject::Freeze(DWORD, LONG, void*, DWORD* freeze) {
    if (freeze) *freeze = 0;
    return E_NOTIMPL;
}

HRESULT VostrelObject::Unfreeze(DWORD) { return E_NOTIMPL; }

HRESULT VostrelObject::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
    if (sink) sink->AddRef();
    if (viewSink_) viewSink_->Release();
    viewSink_ = sink;
    viewAspects_ = aspects;
    viewFlags_ = flags;
    if (sink && (flags & ADVF_PRIMEFIRST)) ViewChanged();
    return S_OK;
}

HRESULT VostrelObject::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
    if (aspects) *aspects = viewAspects_;
    if (flags) *flags = viewFlags_;
    if (sink) {
        *sink = viewSink_;
        if (viewSink_) viewSink_->AddRef();
    }
    return S_OK;
}

HRESULT VostrelObject::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
    return GetExtent(aspect, size);
}

}  // namespace vostrel::activex
