// Python values to and from the control's Integer, Long, Boolean, byte
// strings and property values.
#include <limits>

#include "bindings.hpp"

namespace vostrel::python {

namespace {

[[noreturn]] void Mismatch(const char* name, const std::string& what) {
    throw Error(err::kTypeMismatch, std::string(name) + ": " + what);
}

long long WholeNumber(py::handle value, const char* name, long long lo, long long hi) {
    if (!PyIndex_Check(value.ptr()))
        Mismatch(name,
                 std::string("expected a whole number, got ") + Py_TYPE(value.ptr())->tp_name);
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || n < lo || n > hi)
        throw Error(err::kOverflow, std::string(name) + ": " + py::str(index).cast<std::string>() +
                                        " is outside " + std::to_string(lo) + " to " +
                                        std::to_string(hi));
    return n;
}

}  // namespace

Integer ToInteger(py::handle value, const char* name) {
    return static_cast<Integer>(WholeNumber(value, name, std::numeric_limits<Integer>::min(),
                                            std::numeric_limits<Integer>::max()));
}

Long ToLong(py::handle value, const char* name) {
    return static_cast<Long>(WholeNumber(value, name, std::numeric_limits<Long>::min(),
                                         std::numeric_limits<Long>::max()));
}

Boolean ToBoolean(py::handle value, const char* name) {
    if (PyBool_Check(value.ptr())) return Boolean(value.ptr() == Py_True);
    return Boolean(ToInteger(value, name));
}

String ToByteString(py::handle value, const char* name) {
    if (PyObject_CheckBuffer(value.ptr())) {  // bytes, bytearray, memoryview
        py::object b = py::reinterpret_steal<py::object>(PyBytes_FromObject(value.ptr()));
        if (!b) throw py::error_already_set();
        return String(PyBytes_AS_STRING(b.ptr()),
                      static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr())));
    }
    if (!PyUnicode_Check(value.ptr()))
        Mismatch(name, std::string("expected bytes or str, got ") + Py_TYPE(value.ptr())->tp_name);
    const Py_ssize_t n = PyUnicode_GetLength(value.ptr());
    String out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_ReadChar(value.ptr(), i);
        if (c > 0xFF) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
            Mismatch(name,
                     std::string("character ") + code + " at position " + std::to_string(i) +
                         " has no one-byte code (texts go out one byte per character, Latin-1; "
                         "pass bytes to choose the encoding)");
        }
        out.push_back(static_cast<char>(c));
    }
    return out;
}

py::object FromBoolean(Boolean value) {
    if (value.raw() == -1) return py::bool_(true);
    if (value.raw() == 0) return py::bool_(false);
    return py::int_(value.raw());
}

py::bytes FromByteString(const String& value) { return py::bytes(value.data(), value.size()); }

py::str FromText(const String& value) {
    PyObject* s =
        PyUnicode_DecodeLatin1(value.data(), static_cast<Py_ssize_t>(value.size()), nullptr);
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

Variant ToVariant(py::handle value, const Variant& like, const char* name) {
    if (value.is_none()) return Variant();
    if (PyBool_Check(value.ptr())) return Variant(Boolean(value.ptr() == Py_True));
    if (PyLong_Check(value.ptr())) {
        if (like.type() == Variant::Type::Boolean) return Variant(ToBoolean(value, name));
        const Long n = ToLong(value, name);
        if (n >= std::numeric_limits<Integer>::min() && n <= std::numeric_limits<Integer>::max())
            return Variant(static_cast<Integer>(n));
        return Variant(n);
    }
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()))
        return Variant(ToByteString(value, name));
    Mismatch(name, std::string("a property value is None, bool, int, str or bytes, not ") +
                       Py_TYPE(value.ptr())->tp_name);
}

py::object FromVariant(const Variant& value) {
    switch (value.type()) {
        case Variant::Type::Empty:
            return py::none();
        case Variant::Type::Integer:
            return py::int_(*value.Get<Integer>());
        case Variant::Type::Long:
            return py::int_(*value.Get<Long>());
        case Variant::Type::Boolean:
            return FromBoolean(*value.Get<Boolean>());
        case Variant::Type::String:
            return FromText(*value.Get<String>());
    }
    return py::none();
}

}  // namespace vostrel::python
