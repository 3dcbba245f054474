// Saving and restoring the three properties through the container's
// property bag (IPersistPropertyBag) or a stream (IPersistStreamInit). Both
// go through the control's own initialise, restore and save steps.
#include <vector>

#include "activex/com_errors.hpp"
#include "activex/com_strings.hpp"
#include "activex/guids.hpp"
#include "activex/stream_form.hpp"
#include "activex/variant_bridge.hpp"
#include "activex/vostrel_object.hpp"

namespace vostrel::activex {

namespace {

// The container's IPropertyBag as the control's PropertyBag. A failure of
// the bag is thrown as an error carrying its HRESULT, so the step ends at
// that entry, and the HRESULT goes back to the container.
struct BagFailure {
    HRESULT hr;
};

class ContainerBag : public PropertyBag {
public:
    ContainerBag(IPropertyBag* bag, IErrorLog* log) : bag_(bag), log_(log) {}

    Variant ReadProperty(const String& name, const Variant& defaultValue) override {
        const std::wstring key(name.begin(), name.end());
        VARIANT value;
        VariantInit(&value);  // VT_EMPTY: whatever type the bag holds
        const HRESULT hr = bag_->Read(key.c_str(), &value, log_);
        if (hr == E_INVALIDARG || hr == S_FALSE) {  // no such entry
            VariantClear(&value);
            return defaultValue;
        }
        if (FAILED(hr)) throw BagFailure{hr};
        // An entry of a plain Automation type is taken as it is (the restore
        // step converts it); any other is coerced to the default's type.
        const VARTYPE vt = V_VT(&value);
        const bool plain =
            vt == VT_EMPTY || vt == VT_I2 || vt == VT_I4 || vt == VT_BOOL || vt == VT_BSTR;
        Variant out;
        const HRESULT converted =
            ConvertVariant(value, plain ? Variant::Type::Empty : defaultValue.type(), out);
        VariantClear(&value);
        if (FAILED(converted)) throw BagFailure{converted};
        return out;
    }

    void WriteProperty(const String& name, const Variant& value, const Variant&) override {
        const std::wstring key(name.begin(), name.end());
        VARIANT v;
        HRESULT hr = ToVariant(value, v);
        if (SUCCEEDED(hr)) hr = bag_->Write(key.c_str(), &v);
        VariantClear(&v);
        if (FAILED(hr)) throw BagFailure{hr};
    }

private:
    IPropertyBag* bag_;
    IErrorLog* log_;
};

// The three properties on their way to or from the stream form, whose own
// limit (kStreamMaxText) applies to them, not the text form's line length
// of a MemoryPropertyBag (an ErrorMessage of control characters saves four
// bytes for each there).
class StreamFormBag : public PropertyBag {
public:
    SavedProperties saved{kFalse, kTrue, {}};

    Variant ReadProperty(const String& name, const Variant& defaultValue) override {
        if (name == "Connection") return saved.connection;
        if (name == "ErrorMessage") return saved.errorMessage;
        if (name == "PingNXT") return saved.pingNXT;
        return defaultValue;
    }
    void WriteProperty(const String& name, const Variant& value, const Variant&) override {
        if (name == "Connection") saved.connection = value.ToBoolean();
        if (name == "ErrorMessage") saved.errorMessage = value.ToString();
        if (name == "PingNXT") saved.pingNXT = value.ToBoolean();
    }
};

template <class F>
HRESULT Persisting(F&& step) {
    try {
        step();
        return S_OK;
    } catch (const BagFailure& f) {
        return f.hr;
    } catch (const Error& e) {
        return e.Number() == err::kTypeMismatch ? DISP_E_TYPEMISMATCH
               : e.Number() == err::kOverflow   ? DISP_E_OVERFLOW
                                                : ControlErrorCode(e.Number());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT ReadExactly(IStream* stream, std::string& into, std::size_t n) {
    into.assign(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        ULONG read = 0;
        const HRESULT hr = stream->Read(into.data() + got, static_cast<ULONG>(n - got), &read);
        if (FAILED(hr)) return hr;
        if (read == 0) return STG_E_READFAULT;  // the stream ended early
        got += read;
    }
    return S_OK;
}

}  // namespace

HRESULT VostrelObject::GetClassID(CLSID* out) {
    if (!out) return E_POINTER;
    *out = kClsId;
    return S_OK;
}

// A container initialises the object once: either new (InitNew) or from
// its saved state (Load). After a Load that succeeded both are refused; a
// failed Load leaves the container free to try again or start anew.
HRESULT VostrelObject::InitNew() {
    if (loaded_) return E_UNEXPECTED;
    control_->UserControl_InitProperties();
    dirty_ = false;
    return S_OK;
}

HRESULT VostrelObject::Load(IPropertyBag* bag, IErrorLog* log) {
    if (!bag) return E_POINTER;
    if (loaded_) return E_UNEXPECTED;
    ContainerBag from(bag, log);
    // As the restore step does: entries read before a failing one keep
    // their new values.
    const HRESULT hr = Persisting([&] { control_->UserControl_ReadProperties(from); });
    loaded_ = SUCCEEDED(hr);
    dirty_ = false;
    return hr;
}

HRESULT VostrelObject::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
    if (!bag) return E_POINTER;
    ContainerBag to(bag, nullptr);
    const HRESULT hr = Persisting([&] { control_->UserControl_WriteProperties(to); });
    if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
    return hr;
}

HRESULT VostrelObject::IsDirty() { return dirty_ ? S_OK : S_FALSE; }

HRESULT VostrelObject::Load(LPSTREAM stream) {
    if (!stream) return E_POINTER;
    if (loaded_) return E_UNEXPECTED;
    // The whole form is read and checked first; the control changes only
    // once it all arrived.
    StreamFormBag bag;
    std::string bytes;
    HRESULT hr = ReadExactly(stream, bytes, kStreamHeaderSize);
    if (FAILED(hr)) return hr;
    std::uint32_t length = 0;
    hr = Persisting([&] { length = DecodeStreamHeader(bytes, bag.saved); });
    if (FAILED(hr)) return hr;
    hr = ReadExactly(stream, bag.saved.errorMessage, length);
    if (FAILED(hr)) return hr;
    hr = Persisting([&] { control_->UserControl_ReadProperties(bag); });
    loaded_ = SUCCEEDED(hr);
    if (loaded_) dirty_ = false;
    return hr;
}

HRESULT VostrelObject::Save(LPSTREAM stream, BOOL clearDirty) {
    if (!stream) return E_POINTER;
    // Nothing is written that a load would refuse.
    if (control_->ErrorMessage().size() > kStreamMaxText) return STG_E_CANTSAVE;
    std::string bytes;
    HRESULT hr = Persisting([&] {
        StreamFormBag bag;
        control_->UserControl_WriteProperties(bag);
        bytes = EncodeStreamForm(bag.saved);
    });
    if (FAILED(hr)) return hr;
    std::size_t written = 0;
    while (written < bytes.size()) {
        ULONG n = 0;
        hr = stream->Write(bytes.data() + written, static_cast<ULONG>(bytes.size() - written), &n);
        if (FAILED(hr)) return hr;
        if (n == 0) return STG_E_WRITEFAULT;
        written += n;
    }
    if (clearDirty) dirty_ = false;
    return S_OK;
}

HRESULT VostrelObject::GetSizeMax(ULARGE_INTEGER* size) {
    if (!size) return E_POINTER;
    size->QuadPart = kStreamHeaderSize + control_->ErrorMessage().size();
    return S_OK;
}

}  // namespace vostrel::activex
