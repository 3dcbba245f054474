// A property bag over a Python dict, and the text-file bag's form.
#include <optional>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

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

// The control's properties as it wrote them, to put back (no limit of the
// text form applies).
class Snapshot final : public PropertyBag {
public:
    Variant ReadProperty(const String& name, const Variant& defaultValue) override {
        for (const auto& [key, value] : entries_)
            if (key == name) return value;
        return defaultValue;
    }
    void WriteProperty(const String& name, const Variant& value, const Variant&) override {
        entries_.emplace_back(name, value);
    }

private:
    std::vector<std::pair<String, Variant>> entries_;
};

// Passes reads on, remembering the last one: the control converts each
// value as soon as it has read it, so a conversion that fails is that one's.
class Remembering final : public PropertyBag {
public:
    explicit Remembering(PropertyBag& bag) : bag_(bag) {}

    Variant ReadProperty(const String& name, const Variant& defaultValue) override {
        name_ = name;
        read_.reset();
        expected_ = defaultValue.type();
        read_ = bag_.ReadProperty(name, defaultValue);
        return *read_;
    }
    void WriteProperty(const String& name, const Variant& value,
                       const Variant& defaultValue) override {
        bag_.WriteProperty(name, value, defaultValue);
    }

    /// `e` with the property it is about, when the control's conversion of
    /// a value read failed (a failed read names its property already).
    Error Named(const Error& e) const {
        if (!read_) return e;
        return Error(e.Number(), name_ + ": " + e.what() + " (" +
                                     py::repr(FromVariant(*read_)).cast<std::string>() +
                                     " does not convert to " + TypeName(expected_) + ")");
    }

private:
    PropertyBag& bag_;
    String name_;
    std::optional<Variant> read_;
    Variant::Type expected_ = Variant::Type::Empty;
};

// All or nothing: on a failure the control gets back the values it had.
void Restore(Vostrel& control, PropertyBag& bag) {
    Snapshot before;
    control.UserControl_WriteProperties(before);
    Remembering reading(bag);
    try {
        control.UserControl_ReadProperties(reading);
    } catch (const Error& e) {
        control.UserControl_ReadProperties(before);
        throw reading.Named(e);
    } catch (...) {
        control.UserControl_ReadProperties(before);
        throw;
    }
}

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
    Restore(control, bag);
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
    Restore(control, bag);
}

}  // namespace vostrel::python
