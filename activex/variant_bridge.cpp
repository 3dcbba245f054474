#include "activex/variant_bridge.hpp"

#include <cmath>
#include <cstdint>
#include <cwchar>

#include "activex/com_strings.hpp"

namespace vostrel::activex {

namespace {

// English (United States), whose number texts a script writes whatever the
// user's settings: "1,000.5", "1e3", "&H10".
const LCID kNumberLocale = MAKELCID(0x0409, SORT_DEFAULT);

bool IsWhole(Variant::Type type) {
    return type == Variant::Type::Integer || type == Variant::Type::Long;
}

// A Single, Double or Date that is not a number: the system's coercion
// would make some whole number of it.
bool IsNaN(const VARIANT& v) {
    switch (V_VT(&v)) {
        case VT_R4:
            return std::isnan(V_R4(&v));
        case VT_R8:
            return std::isnan(V_R8(&v));
        case VT_DATE:
            return std::isnan(V_DATE(&v));
        default:
            return false;
    }
}

// `source` read through its references into `value` (cleared by the
// caller), checking every pointer first: VariantCopyInd follows a NULL
// one. Automation follows a variable's reference once, never a chain.
HRESULT ReadThrough(const VARIANT& source, VARIANT& value) {
    const VARIANT* v = &source;
    if (V_VT(v) == (VT_BYREF | VT_VARIANT)) {
        v = V_VARIANTREF(v);
        if (!v || V_VT(v) == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;
    }
    const VARTYPE vt = V_VT(v);
    if ((vt & VT_BYREF) && !V_BYREF(v)) return E_INVALIDARG;
    // No parameter takes an array or a record (whose copy calls into the
    // record's own, possibly missing, description).
    if ((vt & (VT_ARRAY | VT_VECTOR)) || (vt & VT_TYPEMASK) == VT_RECORD)
        return DISP_E_TYPEMISMATCH;
    return VariantCopyInd(&value, const_cast<VARIANT*>(v));
}

// The value of a VARIANT whose type the control's Variant holds as it is.
std::optional<Variant> Direct(const VARIANT& v) {
    switch (V_VT(&v)) {
        case VT_EMPTY:
            return Variant();
        case VT_I2:
            return Variant(Integer(V_I2(&v)));
        case VT_I4:
            return Variant(Long(V_I4(&v)));
        case VT_BOOL:
            return Variant(Boolean(V_BOOL(&v)));
        case VT_BSTR:
            return Variant(FromBstr(V_BSTR(&v)));
        default:
            return std::nullopt;
    }
}

HRESULT Converted(const Variant& value, Variant::Type type, Variant& out) {
    try {
        switch (type) {
            case Variant::Type::Integer:
                out = value.ToInteger();
                break;
            case Variant::Type::Long:
                out = value.ToLong();
                break;
            case Variant::Type::Boolean:
                out = value.ToBoolean();
                break;
            case Variant::Type::String:
                out = value.ToString();
                break;
            case Variant::Type::Empty:
                out = value;
                break;
        }
        return S_OK;
    } catch (const Error& e) {
        return e.Number() == err::kOverflow ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

VARTYPE VarTypeOf(Variant::Type type) {
    switch (type) {
        case Variant::Type::Integer:
            return VT_I2;
        case Variant::Type::Long:
            return VT_I4;
        case Variant::Type::Boolean:
            return VT_BOOL;
        case Variant::Type::String:
            return VT_BSTR;
        case Variant::Type::Empty:
            break;
    }
    return VT_EMPTY;
}

namespace {

// A sign before "&H" or "&O" ("-&H10"): the system's coercion reads a sign
// before decimal digits only, so the sign is applied here to what the rest
// of the text means (-16). Nothing when the text has no such sign.
std::optional<HRESULT> SignedHexOrOctal(const VARIANT& source, Variant::Type type, Variant& out) {
    const wchar_t* text = V_BSTR(&source);
    const wchar_t* end = text + SysStringLen(V_BSTR(&source));
    while (text < end && (*text == L' ' || *text == L'\t')) ++text;
    if (end - text < 2 || (text[0] != L'-' && text[0] != L'+') || text[1] != L'&')
        return std::nullopt;
    VARIANT rest;
    V_VT(&rest) = VT_BSTR;
    V_BSTR(&rest) = SysAllocStringLen(text + 1, UINT(end - text - 1));
    if (!V_BSTR(&rest)) return E_OUTOFMEMORY;
    Variant magnitude;
    HRESULT hr = ConvertVariant(rest, type, magnitude);
    VariantClear(&rest);
    if (FAILED(hr) || text[0] == L'+') {
        if (SUCCEEDED(hr)) out = magnitude;
        return hr;
    }
    if (type == Variant::Type::Integer) {
        const Integer n = *magnitude.Get<Integer>();
        if (n == INT16_MIN) return DISP_E_OVERFLOW;
        out = Integer(-n);
    } else if (type == Variant::Type::Long) {
        const Long n = *magnitude.Get<Long>();
        if (n == INT32_MIN) return DISP_E_OVERFLOW;
        out = Long(-n);
    } else {
        out = magnitude;  // a Boolean: the sign does not change whether it is 0
    }
    return S_OK;
}

}  // namespace

HRESULT ConvertVariant(const VARIANT& source, Variant::Type type, Variant& out) {
    const VARTYPE vt = V_VT(&source);
    if (IsWhole(type) && IsNaN(source)) return DISP_E_OVERFLOW;
    if ((vt == VT_DISPATCH || vt == VT_UNKNOWN) && !V_UNKNOWN(&source)) return DISP_E_TYPEMISMATCH;
    std::optional<Variant> direct = Direct(source);
    // A text becomes a number as Automation reads it ("1e3", "&H10",
    // "1,000"); a text it refuses still gets the control's own reading
    // ("True" is -1). A NUL inside makes it no number, not the digits
    // before the NUL.
    const bool numberText =
        vt == VT_BSTR && V_BSTR(&source) && (IsWhole(type) || type == Variant::Type::Boolean);
    if (numberText && std::wcslen(V_BSTR(&source)) != SysStringLen(V_BSTR(&source)))
        return DISP_E_TYPEMISMATCH;
    if (numberText)
        if (const std::optional<HRESULT> signedHex = SignedHexOrOctal(source, type, out))
            return *signedHex;
    if (direct && !numberText) return Converted(*direct, type, out);
    // Other Automation types (Double, Byte, Currency, Date, Null, ...) go
    // through the system's own coercion to the parameter's type.
    VARIANT coerced;
    VariantInit(&coerced);
    HRESULT hr = VariantChangeTypeEx(&coerced, const_cast<VARIANT*>(&source), kNumberLocale, 0,
                                     VarTypeOf(type));
    if (SUCCEEDED(hr)) {
        auto value = Direct(coerced);
        hr = value ? Converted(*value, type, out) : DISP_E_TYPEMISMATCH;
    }
    VariantClear(&coerced);
    if (numberText && hr == DISP_E_TYPEMISMATCH) return Converted(*direct, type, out);
    return hr == DISP_E_OVERFLOW || hr == E_OUTOFMEMORY || SUCCEEDED(hr) ? hr : DISP_E_TYPEMISMATCH;
}

HRESULT ToVariant(const Variant& value, VARIANT& out) {
    VariantInit(&out);
    switch (value.type()) {
        case Variant::Type::Empty:
            return S_OK;
        case Variant::Type::Integer:
            V_VT(&out) = VT_I2;
            V_I2(&out) = *value.Get<Integer>();
            return S_OK;
        case Variant::Type::Long:
            V_VT(&out) = VT_I4;
            V_I4(&out) = *value.Get<Long>();
            return S_OK;
        case Variant::Type::Boolean:
            V_VT(&out) = VT_BOOL;
            V_BOOL(&out) = value.Get<Boolean>()->raw();
            return S_OK;
        case Variant::Type::String:
            V_BSTR(&out) = ToBstr(*value.Get<String>());
            if (!V_BSTR(&out)) return E_OUTOFMEMORY;
            V_VT(&out) = VT_BSTR;
            return S_OK;
    }
    return E_UNEXPECTED;
}

HRESULT ArgumentBridge::Bind(VARIANT& source, const typelib::ParamInfo& param) {
    const VARTYPE vt = V_VT(&source);
    // A by-reference value given to a by-value parameter (a property's new
    // value) is only read through its reference.
    const bool byRef = (vt & VT_BYREF) && param.byRef;
    if (byRef && vt != (VT_BYREF | VT_VARIANT) && (vt & ~VT_BYREF) != VarTypeOf(param.type))
        return DISP_E_TYPEMISMATCH;
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = ReadThrough(source, value);
    if (SUCCEEDED(hr)) hr = ConvertVariant(value, param.type, holder_);
    VariantClear(&value);
    if (FAILED(hr)) return hr;
    if (!byRef) {
        argument_.emplace(holder_);
        return S_OK;
    }
    if (vt == (VT_BYREF | VT_VARIANT)) {
        VARIANT* inner = V_VARIANTREF(&source);
        // A variable holding a reference itself is read, not written.
        target_ = (V_VT(inner) & VT_BYREF) ? nullptr : inner;
    } else {
        target_ = &source;
    }
    original_ = holder_;
    argument_.emplace(Argument::Ref(holder_));
    return S_OK;
}

HRESULT ArgumentBridge::WriteBack() {
    if (!target_ || holder_ == original_) return S_OK;
    const VARTYPE vt = V_VT(target_);
    if (vt & VT_BYREF) {
        // The caller's typed variable, which has exactly the holder's type.
        switch (vt & ~VT_BYREF) {
            case VT_I2:
                *V_I2REF(target_) = *holder_.Get<Integer>();
                return S_OK;
            case VT_I4:
                *V_I4REF(target_) = *holder_.Get<Long>();
                return S_OK;
            case VT_BOOL:
                *V_BOOLREF(target_) = holder_.Get<Boolean>()->raw();
                return S_OK;
            case VT_BSTR: {
                BSTR text = ToBstr(*holder_.Get<String>());
                if (!text) return E_OUTOFMEMORY;
                SysFreeString(*V_BSTRREF(target_));
                *V_BSTRREF(target_) = text;
                return S_OK;
            }
            default:
                return DISP_E_TYPEMISMATCH;
        }
    }
    // A script's variable: it takes the parameter's type.
    VARIANT value;
    HRESULT hr = ToVariant(holder_, value);
    if (FAILED(hr)) return hr;
    VariantClear(target_);
    *target_ = value;
    return S_OK;
}

}  // namespace vostrel::activex
