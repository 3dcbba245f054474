// Objects made by __new__ alone: refused before pybind11 can hand their
// missing native part to a method.
#include <string>

#include "bindings.hpp"

namespace vostrel::python {

void RefuseUnmade(py::handle object, const std::type_info& type) {
    const py::detail::type_info* info = py::detail::get_type_info(type);
    if (info == nullptr || !object || !PyObject_TypeCheck(object.ptr(), info->type)) return;
    auto* instance = reinterpret_cast<py::detail::instance*>(object.ptr());
    for (const auto& part : py::detail::values_and_holders(instance)) {
        if (part.holder_constructed()) continue;
        const py::type type = py::type::of(object);
        throw py::type_error("this " + py::str(type.attr("__module__")).cast<std::string>() + "." +
                             py::str(type.attr("__qualname__")).cast<std::string>() +
                             " was made by __new__ alone, without its __init__ (or that failed): "
                             "it has no native part to use");
    }
}

}  // namespace vostrel::python
