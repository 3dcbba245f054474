// _Vostrel through its function table (early binding) and through IDispatch
// (late binding, routed through the control's own late-bound face).
#include <vector>

#include "activex/com_errors.hpp"
#include "activex/com_strings.hpp"
#include "activex/guids.hpp"
#include "activex/type_info.hpp"
#include "activex/variant_bridge.hpp"
#include "activex/vostrel_object.hpp"
#include "vostrel/dispatch.hpp"

namespace vostrel::activex {

namespace {

using typelib::MemberInfo;

// The member that `flags` reach at `id`, as the late-bound face resolves
// it (a method before a getter when both kinds are asked); nullptr if none.
// No property holds an object, so a put by reference alone reaches nothing;
// put and put-by-reference together (what .NET's late binding sends for
// any property set) is a put.
const MemberInfo* ResolveMember(DISPID id, WORD flags, HRESULT& why) {
    const WORD kinds = flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT);
    why = DISP_E_MEMBERNOTFOUND;
    if (((flags & DISPATCH_PROPERTYPUTREF) && kinds != DISPATCH_PROPERTYPUT) || kinds == 0)
        return nullptr;
    if ((kinds & DISPATCH_PROPERTYPUT) && kinds != DISPATCH_PROPERTYPUT) {
        why = E_INVALIDARG;
        return nullptr;
    }
    for (InvokeKind k : {InvokeKind::Method, InvokeKind::PropertyGet, InvokeKind::PropertyPut})
        if (kinds & static_cast<WORD>(k))
            if (const MemberInfo* m = typelib::FindMember(id, k)) return m;
    return nullptr;
}

VARIANT_BOOL Raw(Boolean b) { return b.raw(); }

}  // namespace

// --- IDispatch ------------------------------------------------------------

HRESULT VostrelObject::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT VostrelObject::GetTypeInfo(UINT index, LCID, ITypeInfo** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return EmbeddedTypeInfo(kIidVostrel, out);
}

HRESULT VostrelObject::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (count == 0) return S_OK;
    if (!names || !ids) return E_POINTER;
    try {
        std::vector<std::string> text;
        for (UINT i = 0; i < count; ++i) text.push_back(NameFromWide(names[i]));
        std::vector<std::string_view> views(text.begin(), text.end());
        const std::vector<DispId> found = IdsOfNames(views);
        bool all = true;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = found[i];
            all = all && found[i] != dispid::kUnknown;
        }
        return all ? S_OK : DISP_E_UNKNOWNNAME;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT VostrelObject::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                              VARIANT* result, EXCEPINFO* exception, UINT* argError) {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (!params) params = &none;
    HRESULT why = S_OK;
    const MemberInfo* m = ResolveMember(id, flags, why);
    if (!m) return why;
    const UINT count = params->cArgs;
    const UINT named = params->cNamedArgs;
    if (named > count || (count && !params->rgvarg) || (named && !params->rgdispidNamedArgs))
        return E_INVALIDARG;
    if (count != static_cast<UINT>(m->paramCount)) return DISP_E_BADPARAMCOUNT;

    // Arguments in parameter order: positional ones come last-first in
    // rgvarg, named ones carry their parameter's position (a put's value is
    // named DISPID_PROPERTYPUT).
    std::vector<UINT> slotOf(count, UINT(-1));  // parameter -> index in rgvarg
    const UINT positional = count - named;
    for (UINT i = 0; i < positional; ++i) slotOf[i] = count - 1 - i;
    for (UINT j = 0; j < named; ++j) {
        DISPID position = params->rgdispidNamedArgs[j];
        if (position == DISPID_PROPERTYPUT && m->kind == InvokeKind::PropertyPut) position = 0;
        if (position < static_cast<DISPID>(positional) || position >= static_cast<DISPID>(count) ||
            slotOf[static_cast<UINT>(position)] != UINT(-1)) {
            if (argError) *argError = j;
            return DISP_E_PARAMNOTFOUND;
        }
        slotOf[static_cast<UINT>(position)] = j;
    }

    std::vector<ArgumentBridge> bridges(count);
    std::vector<Argument> args;
    args.reserve(count);
    for (UINT p = 0; p < count; ++p) {
        const HRESULT hr = bridges[p].Bind(params->rgvarg[slotOf[p]], m->params[p]);
        if (FAILED(hr)) {
            if (argError) *argError = slotOf[p];
            return hr;
        }
        args.push_back(bridges[p].argument());
    }

    AddRef();  // a notification sink may release the object meanwhile
    HRESULT hr = S_OK;
    try {
        const Variant value = control_->Invoke(m->id, m->kind, args);
        if (result && m->result != Variant::Type::Empty) hr = ToVariant(value, *result);
    } catch (...) {
        int number = 0;
        hr = CurrentExceptionCode(number);
        if (number) hr = ReportThroughExcepInfo(number, exception);
    }
    // The member writes back before anything can fail after it, so the
    // caller's variables change also when it then raised an error.
    for (ArgumentBridge& b : bridges) {
        const HRESULT written = b.WriteBack();
        if (SUCCEEDED(hr) && FAILED(written)) hr = written;
    }
    Release();
    return hr;
}

// --- _Vostrel through the function table ------------------------------------

HRESULT VostrelObject::get_Connection(VARIANT_BOOL* Result) {
    if (!Result) return E_POINTER;
    *Result = Raw(control_->Connection());
    return S_OK;
}

HRESULT VostrelObject::put_Connection(VARIANT_BOOL New_Connection) {
    return GuardVtableCall([&] {
        control_->Connection(Boolean(New_Connection));
        return S_OK;
    });
}

HRESULT VostrelObject::SendValue(short* MailBox, LONG* Value, short* Result) {
    if (!MailBox || !Value || !Result) return E_POINTER;
    return GuardVtableCall([&] {
        Long value = *Value;
        struct WriteBack {  // lands also when the member raised after it
            LONG* to;
            Long& from;
            ~WriteBack() { *to = from; }
        } writeBack{Value, value};
        *Result = control_->SendValue(*MailBox, value);
        return S_OK;
    });
}

HRESULT VostrelObject::SendText(short* MailBox, BSTR* Mail, short* Result) {
    if (!MailBox || !Mail || !Result) return E_POINTER;
    return GuardVtableCall([&] {
        String mail = FromBstr(*Mail);
        const String before = mail;
        *Result = control_->SendText(*MailBox, mail);
        if (mail != before) {
            BSTR text = ToBstr(mail);
            if (!text) return E_OUTOFMEMORY;
            SysFreeString(*Mail);
            *Mail = text;
        }
        return S_OK;
    });
}

HRESULT VostrelObject::ConnectNXT(short* PortNumber, short* BoudRate, short* Result) {
    if (!PortNumber || !BoudRate || !Result) return E_POINTER;
    return GuardVtableCall([&] {
        *Result = control_->ConnectNXT(*PortNumber, *BoudRate);
        return S_OK;
    });
}

HRESULT VostrelObject::DisconnectNXT(short* Result) {
    if (!Result) return E_POINTER;
    return GuardVtableCall([&] {
        *Result = control_->DisconnectNXT();
        return S_OK;
    });
}

HRESULT VostrelObject::get_ErrorMessage(BSTR* Result) {
    if (!Result) return E_POINTER;
    *Result = ToBstr(control_->ErrorMessage());
    return *Result ? S_OK : E_OUTOFMEMORY;
}

HRESULT VostrelObject::put_ErrorMessage(BSTR New_ErrorMessage) {
    return GuardVtableCall([&] {
        control_->ErrorMessage(FromBstr(New_ErrorMessage));
        return S_OK;
    });
}

HRESULT VostrelObject::ReadText(short* MsgBox, BSTR* Result) {
    if (!MsgBox || !Result) return E_POINTER;
    *Result = nullptr;
    return GuardVtableCall([&] {
        const String text = control_->ReadText(*MsgBox);
        *Result = ToBstr(text);
        return *Result ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT VostrelObject::get_PingNXT(VARIANT_BOOL* Result) {
    if (!Result) return E_POINTER;
    *Result = Raw(control_->PingNXT());
    return S_OK;
}

HRESULT VostrelObject::put_PingNXT(VARIANT_BOOL New_PingNXT) {
    return GuardVtableCall([&] {
        control_->PingNXT(Boolean(New_PingNXT));
        return S_OK;
    });
}

}  // namespace vostrel::activex
