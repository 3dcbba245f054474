// What the pieces of the Python module share: the functions that bind each
// part, the error type, and the conversions between Python values and the
// control's types.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "vostrel/types.hpp"
#include "vostrel/variant.hpp"

namespace vostrel::python {

namespace py = pybind11;

class LoopHolder;

void BindErrors(py::module_& m);
void BindLoops(py::module_& m);
void BindDefaultLoop(py::module_& m);
void BindAsyncioLoop(py::module_& m);
void BindControl(py::module_& m);
void BindSim(py::module_& m);
void BindBluetooth(py::module_& m);

/// Python's identifier of the calling thread (threading.get_ident()).
unsigned long ThisThread();

// --- errors.cpp ---------------------------------------------------------------
/// vostrel.Error (set up by BindErrors).
py::handle ErrorType();
/// Reports a failure that happened inside a callback and cannot go to a
/// caller: a Python Exception (or a C++ error, made a vostrel.Error) goes to
/// sys.unraisablehook with `context` as the object it happened in. A
/// BaseException that is not an Exception (KeyboardInterrupt, SystemExit)
/// is handed to `loop` instead, which raises it from its runner. Needs the
/// GIL.
void ReportCallbackFailure(std::exception_ptr error, py::handle context, LoopHolder* loop);

// --- values.cpp ---------------------------------------------------------------
// Arguments from Python. A value of the wrong kind raises
// vostrel.TypeMismatch (error 13), a whole number outside the type
// vostrel.Overflow (error 6), as an Automation host would.
Integer ToInteger(py::handle value, const char* name);
Long ToLong(py::handle value, const char* name);
/// True/False as -1/0; an int as the raw 16-bit value.
Boolean ToBoolean(py::handle value, const char* name);
/// bytes as they are; str one byte per character (Latin-1), refused with
/// vostrel.TypeMismatch naming the first character that has no one-byte code.
String ToByteString(py::handle value, const char* name);

/// True for -1, False for 0, any other stored value as an int.
py::object FromBoolean(Boolean value);
py::bytes FromByteString(const String& value);
/// A text for display: one character per byte (Latin-1).
py::str FromText(const String& value);

/// A property value from Python: None, bool, int, str or bytes. An int
/// becomes a Boolean when `like` is one (keeping its raw value), else an
/// Integer or a Long by size.
Variant ToVariant(py::handle value, const Variant& like, const char* name);
py::object FromVariant(const Variant& value);

/// Raises TypeError when `object`, an instance of `type` (a class of this
/// module), was made by __new__ alone: its __init__ never ran (or failed), so
/// it has no native part. Anything else passes.
void RefuseUnmade(py::handle object, const std::type_info& type);

/// An argument taken as it comes and converted by the functions above (so
/// the errors are the control's), shown to help() under its Python type.
struct WholeArg {
    py::handle value;  // shown as int
};
struct TextArg {
    py::handle value;  // shown as bytes | str
};

}  // namespace vostrel::python

namespace pybind11::detail {
template <>
struct type_caster<vostrel::python::WholeArg> {
    PYBIND11_TYPE_CASTER(vostrel::python::WholeArg, const_name("int"));
    bool load(handle src, bool) {
        value.value = src;
        return true;
    }
    static handle cast(const vostrel::python::WholeArg& v, return_value_policy, handle) {
        return v.value.inc_ref();
    }
};
template <>
struct type_caster<vostrel::python::TextArg> {
    PYBIND11_TYPE_CASTER(vostrel::python::TextArg, const_name("bytes | str"));
    bool load(handle src, bool) {
        value.value = src;
        return true;
    }
    static handle cast(const vostrel::python::TextArg& v, return_value_policy, handle) {
        return v.value.inc_ref();
    }
};

// pybind11 hands a method fresh raw memory as `self` when the Python object
// was made by __new__ alone; a class bound with VOSTREL_PYTHON_MADE_ONLY
// refuses such an object instead, wherever it is passed.
template <typename T>
class made_only_caster : public type_caster_base<T> {
public:
    bool load(handle src, bool convert) {
        vostrel::python::RefuseUnmade(src, typeid(T));
        return type_caster_base<T>::load(src, convert);
    }
};
}  // namespace pybind11::detail

/// At global scope, after T is defined and before it is bound.
#define VOSTREL_PYTHON_MADE_ONLY(T) \
    template <>                     \
    class pybind11::detail::type_caster<T> : public pybind11::detail::made_only_caster<T> {}

namespace vostrel::python {

/// Notes that T was bound through BindClass (see CheckEveryClassGuarded).
void NoteGuarded(const std::type_info& type);

/// The one way this module binds a class: py::class_<T, Bases...>(scope,
/// name, extra...), refused at compile time unless T's made-only guard
/// (VOSTREL_PYTHON_MADE_ONLY) is declared before it.
template <typename T, typename... Bases, typename... Extra>
py::class_<T, Bases...> BindClass(py::handle scope, const char* name, const Extra&... extra) {
    static_assert(std::is_base_of_v<py::detail::made_only_caster<T>, py::detail::make_caster<T>>,
                  "declare VOSTREL_PYTHON_MADE_ONLY(T) before binding T");
    NoteGuarded(typeid(T));
    return py::class_<T, Bases...>(scope, name, extra...);
}

/// Raises ImportError naming any class of `module` (and its submodules)
/// that pybind11 knows but that was not bound through BindClass: an object
/// of it made by __new__ alone would crash the interpreter.
void CheckEveryClassGuarded(py::module_& module);

}  // namespace vostrel::python
