// Automation conversions between the value types of the interface.
#include "vostrel/variant.hpp"

#include <cctype>
#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>

#include "control/equals_no_case.hpp"

namespace vostrel {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// A decimal number text: optional sign, digits, optional fraction.
std::optional<double> ParseNumber(std::string_view s) {
    s = Trim(s);
    if (s.empty()) return std::nullopt;
    bool negative = false;
    if (s.front() == '+' || s.front() == '-') {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    double value = 0;
    bool digits = false;
    while (!s.empty() && std::isdigit(static_cast<unsigned char>(s.front()))) {
        value = value * 10 + (s.front() - '0');
        digits = true;
        s.remove_prefix(1);
    }
    if (!s.empty() && s.front() == '.') {
        s.remove_prefix(1);
        double scale = 0.1;
        while (!s.empty() && std::isdigit(static_cast<unsigned char>(s.front()))) {
            value += (s.front() - '0') * scale;
            scale /= 10;
            digits = true;
            s.remove_prefix(1);
        }
    }
    if (!digits || !s.empty()) return std::nullopt;
    return negative ? -value : value;
}

using detail::EqualsNoCase;

template <class T>
T RoundInto(double value) {
    const double r = std::nearbyint(value);  // half to even, as Automation rounds
    if (!(r >= static_cast<double>(std::numeric_limits<T>::min()) &&
          r <= static_cast<double>(std::numeric_limits<T>::max())))
        throw Error(err::kOverflow);
    return static_cast<T>(r);
}

template <class T>
T ToWhole(const Variant& v) {
    switch (v.type()) {
        case Variant::Type::Empty:
            return 0;
        case Variant::Type::Integer:
            return RoundInto<T>(*v.Get<Integer>());
        case Variant::Type::Long:
            return RoundInto<T>(*v.Get<Long>());
        case Variant::Type::Boolean:
            return static_cast<T>(v.Get<Boolean>()->raw());
        case Variant::Type::String: {
            const String& s = *v.Get<String>();
            if (auto n = ParseNumber(s)) return RoundInto<T>(*n);
            std::string_view t = Trim(s);
            if (EqualsNoCase(t, "True")) return static_cast<T>(-1);
            if (EqualsNoCase(t, "False")) return 0;
            throw Error(err::kTypeMismatch);
        }
    }
    throw Error(err::kTypeMismatch);
}

}  // namespace

const char* TypeName(Variant::Type type) {
    switch (type) {
        case Variant::Type::Empty:
            return "Empty";
        case Variant::Type::Integer:
            return "Integer";
        case Variant::Type::Long:
            return "Long";
        case Variant::Type::Boolean:
            return "Boolean";
        case Variant::Type::String:
            return "String";
    }
    return "?";
}

Boolean Variant::ToBoolean() const {
    switch (type()) {
        case Type::Empty:
            return kFalse;
        case Type::Integer:
            return Boolean(*Get<Integer>() != 0);
        case Type::Long:
            return Boolean(*Get<Long>() != 0);
        case Type::Boolean:
            return *Get<Boolean>();
        case Type::String: {
            const String& s = *Get<String>();
            std::string_view t = Trim(s);
            if (EqualsNoCase(t, "True")) return kTrue;
            if (EqualsNoCase(t, "False")) return kFalse;
            if (auto n = ParseNumber(s)) return Boolean(*n != 0);
            throw Error(err::kTypeMismatch);
        }
    }
    throw Error(err::kTypeMismatch);
}

Integer Variant::ToInteger() const { return ToWhole<Integer>(*this); }
Long Variant::ToLong() const { return ToWhole<Long>(*this); }

String Variant::ToString() const {
    switch (type()) {
        case Type::Empty:
            return "";
        case Type::Integer:
            return std::to_string(*Get<Integer>());
        case Type::Long:
            return std::to_string(*Get<Long>());
        case Type::Boolean:
            return Get<Boolean>()->raw() != 0 ? "True" : "False";
        case Type::String:
            return *Get<String>();
    }
    throw Error(err::kTypeMismatch);
}

Variant::Type Argument::type() const {
    return std::visit(
        [](const auto& a) -> Variant::Type {
            using A = std::decay_t<decltype(a)>;
            if constexpr (std::is_same_v<A, Variant>)
                return a.type();
            else if constexpr (std::is_same_v<A, Variant*>)
                return a->type();
            else if constexpr (std::is_same_v<A, Integer*>)
                return Variant::Type::Integer;
            else if constexpr (std::is_same_v<A, Long*>)
                return Variant::Type::Long;
            else if constexpr (std::is_same_v<A, Boolean*>)
                return Variant::Type::Boolean;
            else
                return Variant::Type::String;
        },
        arg_);
}

Variant Argument::Value() const {
    return std::visit(
        [](const auto& a) -> Variant {
            using A = std::decay_t<decltype(a)>;
            if constexpr (std::is_same_v<A, Variant>)
                return a;
            else
                return Variant(*a);
        },
        arg_);
}

}  // namespace vostrel
