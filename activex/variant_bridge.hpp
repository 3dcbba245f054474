// Automation VARIANTs and the control's late-bound arguments and results.
//
// A caller's argument becomes a vostrel::Argument for one parameter of the
// member table:
//   - by value (a literal, everything JScript passes): converted to the
//     parameter's type as Automation converts;
//   - VT_BYREF with exactly the parameter's type (VT_BYREF|VT_I2 for an
//     Integer): the member works on it and its write-back lands there;
//   - VT_BYREF|VT_VARIANT (a script's variable): the value inside is
//     converted to the parameter's type, the member works on that, and a
//     value the member changed is written back into the variable (with the
//     parameter's type);
//   - VT_BYREF of any other type: type mismatch, since a write-back could
//     not land.
// A reference that is NULL (at either level of a by-reference VARIANT), or
// a by-reference VARIANT holding another one, is E_INVALIDARG. A text
// becomes a number as Automation reads it ("1e3", "&H10"); a Single,
// Double or Date that is not a number (NaN) overflows a whole number.
// Conversion failures are DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW; the call
// then does not run.
#pragma once

#include <windows.h>

#include <optional>

#include "vostrel/type_library.hpp"
#include "vostrel/variant.hpp"

namespace vostrel::activex {

class ArgumentBridge {
public:
    /// Binds `source` (which must outlive the bridge) to `param`.
    HRESULT Bind(VARIANT& source, const typelib::ParamInfo& param);
    Argument& argument() { return *argument_; }
    /// Writes a value the member changed back into the caller's variable.
    /// Does nothing for a by-value argument or an unchanged value.
    HRESULT WriteBack();

private:
    VARIANT* target_ = nullptr;  // the caller's variable, by reference
    Variant holder_;
    Variant original_;
    std::optional<Argument> argument_;
};

/// `source` (not by reference) converted to a value of type `type`.
HRESULT ConvertVariant(const VARIANT& source, Variant::Type type, Variant& out);
/// `value` as a new VARIANT (VT_EMPTY, VT_I2, VT_I4, VT_BOOL or VT_BSTR).
HRESULT ToVariant(const Variant& value, VARIANT& out);
/// The VARTYPE of an Automation type.
VARTYPE VarTypeOf(Variant::Type type);

}  // namespace vostrel::activex
