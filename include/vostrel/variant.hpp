// An Automation value as the control's property bag and late-bound face see
// it: empty, Integer, Long, Boolean or String, with the conversions the
// Automation runtime applies.
#pragma once

#include <variant>

#include "vostrel/types.hpp"

namespace vostrel {

class Variant {
public:
    enum class Type { Empty, Integer, Long, Boolean, String };

    Variant() = default;
    Variant(Integer v) : value_(v) {}                          // NOLINT
    Variant(Long v) : value_(v) {}                             // NOLINT
    Variant(Boolean v) : value_(v) {}                          // NOLINT
    Variant(String v) : value_(std::move(v)) {}                // NOLINT
    Variant(const char* v) : value_(String(v)) {}              // NOLINT

    Type type() const { return static_cast<Type>(value_.index()); }
    bool IsEmpty() const { return type() == Type::Empty; }

    /// The held value when it has exactly that type; nullptr otherwise.
    template <class T>
    const T* Get() const { return std::get_if<T>(&value_); }
    template <class T>
    T* Get() { return std::get_if<T>(&value_); }

    /// Automation conversions. Each throws Error(kTypeMismatch) for a value
    /// that cannot be converted (a text that is no number, say) and
    /// Error(kOverflow) for a number outside the target's range.
    Boolean ToBoolean() const;  // any nonzero number is True; "True"/"False" texts
    Integer ToInteger() const;  // fractions round half to even
    Long ToLong() const;
    String ToString() const;  // Boolean as "True"/"False", numbers in decimal

    friend bool operator==(const Variant&, const Variant&) = default;

private:
    std::variant<std::monostate, Integer, Long, Boolean, String> value_;
};

/// The Automation name of a type ("Integer", "String", ...).
const char* TypeName(Variant::Type type);

}  // namespace vostrel
