// Objects made by __new__ alone: refused before pybind11 can hand their
// missing native part to a method.
#include <string>
#include <typeindex>
#include <unordered_set>

#include "bindings.hpp"

namespace vostrel::python {

namespace {
std::unordered_set<std::type_index>& Guarded() {
    static std::unordered_set<std::type_index> guarded;
    return guarded;
}
}  // namespace

void NoteGuarded(const std::type_info& type) { Guarded().insert(type); }

void CheckEveryClassGuarded(py::module_& module) {
    const std::string prefix = py::str(module.attr("__name__")).cast<std::string>() + ".";
    for (const auto& [type, info] : py::detail::get_internals().registered_types_cpp) {
        const std::string name = info->type->tp_name;
        if (name.rfind(prefix, 0) == 0 && Guarded().count(type) == 0)
            throw py::import_error("the class " + name +
                                   " is bound without its made-only guard (bind it with "
                                   "BindClass)");
    }
}

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
