// The object's identity, lifetime and its bridge to the control's host and
// event interfaces.
#include "activex/vostrel_object.hpp"

#include <new>

#include "activex/apartment_loop.hpp"
#include "activex/com_errors.hpp"
#include "activex/guids.hpp"
#include "activex/module.hpp"
#include "activex/type_info.hpp"
#include "vostrel/dispatch.hpp"

namespace vostrel::activex {

namespace {
// The design-time picture's size, 79 x 54 pixels, in HIMETRIC at 96 dpi.
constexpr LONG kPictureWidth = 79 * 2540 / 96;
constexpr LONG kPictureHeight = 54 * 2540 / 96;
}  // namespace

VostrelObject::VostrelObject()
    : events_(*this, kIidVostrelEvents, true),
      propertyNotify_(*this, IID_IPropertyNotifySink, false),
      extent_{kPictureWidth, kPictureHeight} {
    loop_ = CurrentApartmentLoop();
    control_ = loop_->MakeControl(*this);
    control_->SetEventSink(this);
    AddModuleRef();
}

VostrelObject::~VostrelObject() {
    // The control does nothing of its own at destruction (an open port is
    // released with its component), and no event may reach a sink after
    // this point.
    control_->SetEventSink(nullptr);
    control_.reset();
    events_.UnadviseAll();
    propertyNotify_.UnadviseAll();
    InPlaceDeactivate();  // a container that never closed the object
    if (viewSink_) viewSink_->Release();
    if (adviseHolder_) adviseHolder_->Release();
    if (inPlaceSite_) inPlaceSite_->Release();
    if (site_) site_->Release();
    ReleaseModuleRef();
}

HRESULT VostrelObject::Create(REFIID iid, void** out) {
    VostrelObject* object = nullptr;
    try {
        object = new VostrelObject();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

HRESULT VostrelObject::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    void* found = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, kIidVostrel))
        found = static_cast<_Vostrel*>(this);
    else if (IsEqualIID(iid, IID_ISupportErrorInfo))
        found = static_cast<ISupportErrorInfo*>(this);
    else if (IsEqualIID(iid, IID_IProvideClassInfo) || IsEqualIID(iid, IID_IProvideClassInfo2))
        found = static_cast<IProvideClassInfo2*>(this);
    else if (IsEqualIID(iid, IID_IConnectionPointContainer))
        found = static_cast<IConnectionPointContainer*>(this);
    else if (IsEqualIID(iid, IID_IOleObject))
        found = static_cast<IOleObject*>(this);
    else if (IsEqualIID(iid, IID_IOleControl))
        found = static_cast<IOleControl*>(this);
    else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceObject))
        found = static_cast<IOleInPlaceObject*>(this);
    else if (IsEqualIID(iid, IID_IOleInPlaceActiveObject))
        found = static_cast<IOleInPlaceActiveObject*>(this);
    else if (IsEqualIID(iid, IID_IViewObject) || IsEqualIID(iid, IID_IViewObject2))
        found = static_cast<IViewObject2*>(this);
    else if (IsEqualIID(iid, IID_IPersistPropertyBag))
        found = static_cast<IPersistPropertyBag*>(this);
    else if (IsEqualIID(iid, IID_IPersist) || IsEqualIID(iid, IID_IPersistStreamInit))
        found = static_cast<IPersistStreamInit*>(this);
    *out = found;
    if (!found) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

// Apartment-threaded: only the owning thread counts references.
ULONG VostrelObject::AddRef() { return ++refs_; }

ULONG VostrelObject::Release() {
    const ULONG left = --refs_;
    if (left == 0) {
        if (callouts_ == 0)
            delete this;
        else
            DeleteLater();
    }
    return left;
}

void VostrelObject::DeleteLater() {
    // A sink let the object go from inside an event: below the sink the
    // control is still running its own code (the rest of a read, the status
    // after NoPing), which must not find itself deleted. Nothing more goes
    // to sinks; the object goes once the message queue runs again.
    if (dying_) return;
    dying_ = true;
    try {
        loop_->Post([this] {
            if (refs_ == 0)
                delete this;
            else
                dying_ = false;  // taken up again meanwhile
        });
    } catch (...) {
        // The queue refused: kept alive (a leak) rather than freed in use.
    }
}

// --- the control's host -----------------------------------------------------

bool VostrelObject::UserMode() {
    // No site, or a site that does not answer, means run mode.
    if (!site_ || dying_) return true;
    Callout out(*this);
    IDispatch* ambient = nullptr;
    if (FAILED(site_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&ambient))))
        return true;
    VARIANT value;
    VariantInit(&value);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    const HRESULT hr = ambient->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT,
                                       DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
    ambient->Release();
    bool userMode = true;
    if (SUCCEEDED(hr) && SUCCEEDED(VariantChangeType(&value, &value, 0, VT_BOOL)))
        userMode = V_BOOL(&value) != VARIANT_FALSE;
    VariantClear(&value);
    return userMode;
}

void VostrelObject::PropertyChanged(std::string_view name) {
    dirty_ = true;
    const std::optional<DispId> id = MemberId(name);
    if (!id || dying_) return;
    Callout out(*this);
    propertyNotify_.ForEachSink([&](IUnknown* sink) {
        // A container's answer does not concern the control.
        reinterpret_cast<IPropertyNotifySink*>(sink)->OnChanged(*id);
    });
}

// While the container freezes events, and until what it missed meanwhile
// has gone out, the control's events are kept, so they reach the sinks in
// the order raised.
void VostrelObject::NoPing() {
    if (dying_) return;
    if (frozenEvents_ > 0 || !held_.empty())
        held_.NoPing();
    else
        FireNoPing();
}

void VostrelObject::NewMail(Integer& MailBox) {
    if (dying_) return;
    if (frozenEvents_ > 0 || !held_.empty())
        held_.NewMail(MailBox);
    else
        FireNewMail(MailBox);
}

void VostrelObject::FireNoPing() {
    Callout out(*this);  // a handler may release the object
    events_.ForEachSink([this](IUnknown* sink) {
        if (dying_) return;  // released by an earlier sink of this round
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        reinterpret_cast<IDispatch*>(sink)->Invoke(dispid::kNoPing, IID_NULL, LOCALE_USER_DEFAULT,
                                                   DISPATCH_METHOD, &none, nullptr, nullptr,
                                                   nullptr);
    });
}

void VostrelObject::FireNewMail(Integer MailBox) {
    Callout out(*this);
    events_.ForEachSink([&](IUnknown* sink) {
        // Each sink gets the mailbox by reference, as the event is published;
        // what it writes there stays with it.
        if (dying_) return;
        short mailBox = MailBox;
        VARIANT arg;
        VariantInit(&arg);
        V_VT(&arg) = VT_BYREF | VT_I2;
        V_I2REF(&arg) = &mailBox;
        DISPPARAMS params{&arg, nullptr, 1, 0};
        reinterpret_cast<IDispatch*>(sink)->Invoke(dispid::kNewMail, IID_NULL, LOCALE_USER_DEFAULT,
                                                   DISPATCH_METHOD, &params, nullptr, nullptr,
                                                   nullptr);
    });
}

void VostrelObject::FireHeldEvents() {
    // A handler may freeze events again, or release the object: either
    // ends the round, and what is left waits.
    while (frozenEvents_ == 0 && !dying_) {
        const std::optional<HeldEvents::Event> e = held_.Take();
        if (!e) return;
        if (e->kind == HeldEvents::Event::Kind::NoPing)
            FireNoPing();
        else
            FireNewMail(e->mailBox);
    }
}

// --- ISupportErrorInfo, IProvideClassInfo2, IConnectionPointContainer -------

HRESULT VostrelObject::InterfaceSupportsErrorInfo(REFIID iid) {
    return IsEqualIID(iid, kIidVostrel) ? S_OK : S_FALSE;
}

HRESULT VostrelObject::GetClassInfo(ITypeInfo** out) { return EmbeddedTypeInfo(kClsId, out); }

HRESULT VostrelObject::GetGUID(DWORD kind, GUID* out) {
    if (!out) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *out = GUID_NULL;
        return E_INVALIDARG;
    }
    *out = kIidVostrelEvents;
    return S_OK;
}

HRESULT VostrelObject::EnumConnectionPoints(IEnumConnectionPoints** out) {
    return EnumerateConnectionPoints({&events_, &propertyNotify_}, out);
}

HRESULT VostrelObject::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ConnectionPoint* point = nullptr;
    if (IsEqualIID(iid, kIidVostrelEvents))
        point = &events_;
    else if (IsEqualIID(iid, IID_IPropertyNotifySink))
        point = &propertyNotify_;
    if (!point) return CONNECT_E_NOCONNECTION;
    point->AddRef();
    *out = point;
    return S_OK;
}

}  // namespace vostrel::activex
