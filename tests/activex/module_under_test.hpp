// The module VostrelControl.ocx loaded from beside the test program (no
// registration needed), its class object, and small COM helpers.
#pragma once

#include <windows.h>
// After windows.h, which they need:
#include <ocidl.h>
#include <olectl.h>

#include <string>

namespace vostrel::activex::testing {

/// Full path of VostrelControl.ocx in the test program's folder, or the
/// one VOSTREL_TEST_OCX names.
std::wstring ModulePath();
/// Whether that module is the 32-bit build (from its PE header).
bool ModuleIs32Bit();

/// The module, loaded once for the process.
HMODULE Module();

/// A new control through the module's class factory, as interface `iid`.
HRESULT CreateControl(REFIID iid, void** out);

/// The module's DllCanUnloadNow.
HRESULT CanUnloadNow();

/// A COM pointer that releases what it holds.
template <class T>
class Ptr {
public:
    Ptr() = default;
    explicit Ptr(T* p) : p_(p) {}
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    Ptr(Ptr&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ptr() { reset(); }
    void reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    template <class U>
    HRESULT As(REFIID iid, Ptr<U>& out) const {
        return p_->QueryInterface(iid, out.put_void());
    }

private:
    T* p_ = nullptr;
};

/// A BSTR that frees itself.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const wchar_t* text) : b_(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return b_; }
    BSTR* put() {
        SysFreeString(b_);
        b_ = nullptr;
        return &b_;
    }
    std::wstring str() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }

private:
    BSTR b_ = nullptr;
};

/// The thread's error object's description ("" when there is none).
std::wstring LastErrorDescription();

}  // namespace vostrel::activex::testing
