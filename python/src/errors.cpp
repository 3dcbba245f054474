// vostrel.Error and its two Python-flavoured kinds, the translation of the
// C++ errors, and the report of failures nobody can catch.
#include <pybind11/eval.h>

#include <system_error>

#include "bindings.hpp"
#include "loops.hpp"

namespace vostrel::python {

namespace {

// Kept alive by the module's attributes; borrowed here.
py::handle errorType, overflowType, typeMismatchType;

constexpr const char* kErrorClasses = R"PY(
class Error(Exception):
    """An error the control, one of its components or the module raised.

    ``number`` is the error number, as the control's Automation hosts know it:
    6 overflow, 13 type mismatch, 380 a setting a component refused,
    387 a property set while not permitted, 8002 no device for that port
    number, 8005 the device is held by someone else, 8020 reading or writing
    the device failed, ... ``description`` is a readable text with the
    system's own reason where there is one.
    """

    def __init__(self, number, description=""):
        super().__init__(number, description)
        self.number = number
        self.description = description

    def __str__(self):
        return f"{self.description} (error {self.number})" if self.description else f"error {self.number}"


class Overflow(Error, OverflowError):
    """Error 6: a number does not fit the control's type (ReadText(-32768),
    a mailbox beyond 16 bits, a value beyond 32 bits)."""


class TypeMismatch(Error, TypeError):
    """Error 13: a value of a kind the member cannot take (a float as a
    mailbox, a text with a character that has no one-byte code)."""
)PY";

py::handle TypeFor(int number) {
    if (number == err::kOverflow) return overflowType;
    if (number == err::kTypeMismatch) return typeMismatchType;
    return errorType;
}

void SetPythonError(const vostrel::Error& e) {
    py::object value =
        py::reinterpret_borrow<py::object>(TypeFor(e.Number()))(e.Number(), e.what());
    PyErr_SetObject(TypeFor(e.Number()).ptr(), value.ptr());
}

}  // namespace

py::handle ErrorType() { return errorType; }

void BindErrors(py::module_& m) {
    py::dict scope;
    scope["__name__"] = "vostrel";
    scope["__builtins__"] = py::module_::import("builtins");
    py::exec(kErrorClasses, scope);
    for (const char* name : {"Error", "Overflow", "TypeMismatch"}) m.attr(name) = scope[name];
    errorType = m.attr("Error");
    overflowType = m.attr("Overflow");
    typeMismatchType = m.attr("TypeMismatch");

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const vostrel::Error& e) {
            SetPythonError(e);
        } catch (const std::system_error& e) {
            // The system's own reason, as Python reports one.
            py::object value =
                py::module_::import("builtins").attr("OSError")(e.code().value(), e.what());
            PyErr_SetObject(PyExc_OSError, value.ptr());
        }
    });

    m.def(
        "_report_handler_error",
        [](py::object error, py::object context) {
            // With its traceback, so the hook shows where the handler failed.
            py::object tb = error.attr("__traceback__");
            py::object type = py::type::of(error);
            PyErr_Restore(type.release().ptr(), error.release().ptr(),
                          tb.is_none() ? nullptr : tb.release().ptr());
            PyErr_WriteUnraisable(context.ptr());
        },
        "Reports an exception a handler raised to sys.unraisablehook (internal).");
}

void ReportCallbackFailure(std::exception_ptr error, py::handle context, LoopHolder* loop) {
    try {
        std::rethrow_exception(error);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception) && loop != nullptr) {
            loop->Defer(std::current_exception());
            return;
        }
        e.discard_as_unraisable(py::reinterpret_borrow<py::object>(context));
    } catch (const vostrel::Error& e) {
        SetPythonError(e);
        PyErr_WriteUnraisable(context.ptr());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        PyErr_WriteUnraisable(context.ptr());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown failure in a callback");
        PyErr_WriteUnraisable(context.ptr());
    }
}

}  // namespace vostrel::python
