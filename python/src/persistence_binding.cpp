// A property bag over a Python dict, and the text-file bag's form.
#include <set>
#include <sstream>

#include "persistence.hpp"

namespace vostrel::python {

namespace {

const std::set<std::string> kKeys{"Connection", "ErrorMessage", "PingNXT"};

class DictBag final : public PropertyBag {
public:
    explicit DictBag(py::dict values) : values_(std::move(values)) {}

    Variant ReadProperty(const String& name, const Variant& defaultValue) override {
        py::str key = FromText(name);
        if (!values_.contains(key)) return defaultValue;
        return ToVariant(values_[key], defaultValue, name.c_str());
    }

    void WriteProperty(const String& name, const Variant& value, const Variant&) override {
        values_[FromText(name)] = FromVariant(value);
    }

private:
    py::dict values_;
};

}  // namespace

py::dict SaveToDict(Vostrel& control) {
    py::dict out;
    DictBag bag(out);
    control.UserControl_WriteProperties(bag);
    return out;
}

void RestoreFromDict(Vostrel& control, const py::dict& values) {
    for (auto item : values) {
        if (!py::isinstance<py::str>(item.first) || !kKeys.count(item.first.cast<std::string>()))
            throw py::value_error("unknown property " + py::repr(item.first).cast<std::string>() +
                                  " (the control keeps Connection, ErrorMessage and PingNXT)");
    }
    DictBag bag(values);
    control.UserControl_ReadProperties(bag);
}

std::string SaveToText(Vostrel& control) {
    MemoryPropertyBag bag;
    control.UserControl_WriteProperties(bag);
    std::ostringstream out;
    bag.Save(out);
    return out.str();
}

void RestoreFromText(Vostrel& control, const std::string& text) {
    MemoryPropertyBag bag;
    std::istringstream in(text);
    bag.Load(in);
    control.UserControl_ReadProperties(bag);
}

}  // namespace vostrel::python
