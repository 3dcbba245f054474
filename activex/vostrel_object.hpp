// The Vostrel control as a COM object: a thin skin over the project's
// control (vostrel::Vostrel), which never learns that COM hosts it.
//
// Threading rules: apartment-threaded. An object belongs to the thread that
// created it; its serial port and watchdog deliver through that thread's
// message queue (one window loop per thread, shared by the thread's
// objects), so events reach sinks while the host pumps messages, one at a
// time, synchronously; a sink may call back into the control.
//
// Error rules: every method returns an HRESULT. A run-time error of the
// control (387 at design time, 6 overflow) is FACILITY_CONTROL with the
// error number (0x800A0000 | number): through the function table with an
// error object (ISupportErrorInfo), through IDispatch::Invoke as
// DISP_E_EXCEPTION with that scode in EXCEPINFO; the description is the
// standard text of the number, with no source and no help.
#pragma once

#include <windows.h>
// After windows.h, which they need:
#include <ocidl.h>
#include <olectl.h>

#include <memory>

#include "activex/connection_point.hpp"
#include "activex/held_events.hpp"
#include "activex/vostrel_idl.h"
#include "vostrel/vostrel.hpp"

namespace vostrel::activex {

class ApartmentLoop;

class VostrelObject final : public _Vostrel,
                            public ISupportErrorInfo,
                            public IProvideClassInfo2,
                            public IConnectionPointContainer,
                            public IOleObject,
                            public IOleControl,
                            public IOleInPlaceObject,
                            public IOleInPlaceActiveObject,
                            public IViewObject2,
                            public IPersistPropertyBag,
                            public IPersistStreamInit,
                            private HostSite,
                            private EventSink {
public:
    /// Creates an object on the calling thread and returns interface `iid`.
    static HRESULT Create(REFIID iid, void** out);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch (dual_interface.cpp)
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argError) override;
    // _Vostrel (dual_interface.cpp)
    HRESULT STDMETHODCALLTYPE get_Connection(VARIANT_BOOL* Result) override;
    HRESULT STDMETHODCALLTYPE put_Connection(VARIANT_BOOL New_Connection) override;
    HRESULT STDMETHODCALLTYPE SendValue(short* MailBox, LONG* Value, short* Result) override;
    HRESULT STDMETHODCALLTYPE SendText(short* MailBox, BSTR* Mail, short* Result) override;
    HRESULT STDMETHODCALLTYPE ConnectNXT(short* PortNumber, short* BoudRate,
                                         short* Result) override;
    HRESULT STDMETHODCALLTYPE DisconnectNXT(short* Result) override;
    HRESULT STDMETHODCALLTYPE get_ErrorMessage(BSTR* Result) override;
    HRESULT STDMETHODCALLTYPE put_ErrorMessage(BSTR New_ErrorMessage) override;
    HRESULT STDMETHODCALLTYPE ReadText(short* MsgBox, BSTR* Result) override;
    HRESULT STDMETHODCALLTYPE get_PingNXT(VARIANT_BOOL* Result) override;
    HRESULT STDMETHODCALLTYPE put_PingNXT(VARIANT_BOOL New_PingNXT) override;

    // ISupportErrorInfo, IProvideClassInfo2, IConnectionPointContainer (events.cpp)
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** out) override;
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* out) override;
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

    // IOleObject (ole_object.cpp)
    HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override;
    HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override;
    HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
    HRESULT STDMETHODCALLTYPE Close(DWORD saveOption) override;
    HRESULT STDMETHODCALLTYPE SetMoniker(DWORD which, IMoniker* moniker) override;
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD assign, DWORD which, IMoniker** out) override;
    HRESULT STDMETHODCALLTYPE InitFromData(IDataObject* data, BOOL creation,
                                           DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD reserved, IDataObject** out) override;
    HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index,
                                     HWND parent, LPCRECT rect) override;
    HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** out) override;
    HRESULT STDMETHODCALLTYPE Update() override;
    HRESULT STDMETHODCALLTYPE IsUpToDate() override;
    HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* out) override;
    HRESULT STDMETHODCALLTYPE GetUserType(DWORD form, LPOLESTR* out) override;
    HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override;
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override;
    HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** out) override;
    HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD aspect, DWORD* status) override;
    HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE* palette) override;
    // IOleControl
    HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* info) override;
    HRESULT STDMETHODCALLTYPE OnMnemonic(MSG* msg) override;
    HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID id) override;
    HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL freeze) override;
    // IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override;
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL enter) override;
    HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override;
    HRESULT STDMETHODCALLTYPE UIDeactivate() override;
    HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT position, LPCRECT clip) override;
    HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override;
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG msg) override;
    HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL activate) override;
    HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL activate) override;
    HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window,
                                           BOOL frame) override;
    HRESULT STDMETHODCALLTYPE EnableModeless(BOOL enable) override;
    // IViewObject, IViewObject2 (view_object.cpp)
    HRESULT STDMETHODCALLTYPE Draw(DWORD aspect, LONG index, void* aspectInfo,
                                   DVTARGETDEVICE* target, HDC targetDc, HDC dc, LPCRECTL bounds,
                                   LPCRECTL metafileBounds,
                                   BOOL(STDMETHODCALLTYPE* cont)(ULONG_PTR),
                                   ULONG_PTR contArg) override;
    HRESULT STDMETHODCALLTYPE GetColorSet(DWORD aspect, LONG index, void* aspectInfo,
                                          DVTARGETDEVICE* target, HDC targetDc,
                                          LOGPALETTE** colors) override;
    HRESULT STDMETHODCALLTYPE Freeze(DWORD aspect, LONG index, void* aspectInfo,
                                     DWORD* freeze) override;
    HRESULT STDMETHODCALLTYPE Unfreeze(DWORD freeze) override;
    HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
    HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* target,
                                        LPSIZEL size) override;

    // IPersist, IPersistPropertyBag, IPersistStreamInit (persistence.cpp)
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* out) override;
    HRESULT STDMETHODCALLTYPE InitNew() override;
    HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* log) override;
    HRESULT STDMETHODCALLTYPE Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;
    HRESULT STDMETHODCALLTYPE IsDirty() override;
    HRESULT STDMETHODCALLTYPE Load(LPSTREAM stream) override;
    HRESULT STDMETHODCALLTYPE Save(LPSTREAM stream, BOOL clearDirty) override;
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override;

private:
    VostrelObject();
    ~VostrelObject();

    // HostSite: the run-mode flag is the site's ambient UserMode, asked
    // each time; a change goes to the IPropertyNotifySink sinks.
    bool UserMode() override;
    void PropertyChanged(std::string_view name) override;
    // EventSink: the control's events go to the __Vostrel sinks.
    // Frozen by the container, they are kept in held_ (FreezeEvents).
    void NoPing() override;
    void NewMail(Integer& MailBox) override;
    void FireNoPing();
    void FireNewMail(Integer MailBox);
    void FireHeldEvents();

    // Calls out of a notification of the control (to a sink or the site)
    // are counted: the last reference dropped in one leaves the object to
    // be deleted from the message queue, once the control has returned.
    struct Callout {
        explicit Callout(VostrelObject& o) : object(o) { ++object.callouts_; }
        ~Callout() { --object.callouts_; }
        VostrelObject& object;
    };
    void DeleteLater();

    /// The picture shown while the host is designed, and nothing at run time.
    bool ShowsPicture();
    void ViewChanged();

    std::shared_ptr<ApartmentLoop> loop_;  // before control_: outlives it
    std::unique_ptr<Vostrel> control_;
    ULONG refs_ = 1;
    int callouts_ = 0;
    bool dying_ = false;  // released inside a callout; deleted from the queue
    ConnectionPoint events_;
    ConnectionPoint propertyNotify_;
    IOleClientSite* site_ = nullptr;
    IOleInPlaceSite* inPlaceSite_ = nullptr;  // while in-place active
    HWND window_ = nullptr;                   // likewise: the picture's window
    IOleAdviseHolder* adviseHolder_ = nullptr;
    IAdviseSink* viewSink_ = nullptr;
    DWORD viewAspects_ = 0;
    DWORD viewFlags_ = 0;
    SIZEL extent_;  // HIMETRIC
    RECT position_{};
    long frozenEvents_ = 0;  // FreezeEvents(TRUE) calls not yet thawed
    HeldEvents held_;
    // Expires with the object: a delivery posted for it finds it gone.
    std::shared_ptr<void> lifetime_ = std::make_shared<char>();
    bool dirty_ = false;
    bool loaded_ = false;  // by a Load that succeeded: no InitNew or Load after it
};

}  // namespace vostrel::activex
