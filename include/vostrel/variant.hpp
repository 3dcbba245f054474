// An Automation value as the control's property bag and late-bound face see
// it: empty, Integer, Long, Boolean or String, with the conversions the
// Automation runtime applies.
#pragma once

#include <utility>
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
    Variant(bool v) : value_(Boolean(v)) {}                    // NOLINT: true is True (-1)
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

/// One argument of a late-bound call or event: a value, or a reference to
/// the caller's variable.
///
/// A by-value argument is converted to the parameter's type as Automation
/// converts (Variant::ToInteger and the others). A by-reference argument
/// refers to a typed variable (Integer, Long, Boolean, String) or to a
/// Variant, whose held type then counts as the argument's type; it must
/// already have the parameter's type, and the callee writes its result back
/// into it in place. The referenced variable is not owned and must outlive
/// the call.
class Argument {
public:
    /// By value (a literal, an expression).
    Argument(Variant value) : arg_(std::move(value)) {}  // NOLINT: implicit by design
    Argument(Integer v) : arg_(Variant(v)) {}            // NOLINT
    Argument(Long v) : arg_(Variant(v)) {}               // NOLINT
    Argument(Boolean v) : arg_(Variant(v)) {}            // NOLINT
    Argument(bool v) : arg_(Variant(Boolean(v))) {}      // NOLINT: true is -1, not a number
    Argument(String v) : arg_(Variant(std::move(v))) {}  // NOLINT
    Argument(const char* v) : arg_(Variant(v)) {}        // NOLINT

    /// By reference to a variable of exactly that type.
    static Argument Ref(Integer& variable) { return Argument(&variable); }
    static Argument Ref(Long& variable) { return Argument(&variable); }
    static Argument Ref(Boolean& variable) { return Argument(&variable); }
    static Argument Ref(String& variable) { return Argument(&variable); }
    /// By reference to a Variant: its type is the type it holds at the call.
    static Argument Ref(Variant& variable) { return Argument(&variable); }

    bool IsByRef() const { return arg_.index() != 0; }
    /// The type of the value or of the referenced variable now.
    Variant::Type type() const;
    /// A copy of the value, or of the referenced variable's value.
    Variant Value() const;

    /// The referenced variable when it holds exactly a T (for a referenced
    /// Variant: the value inside it); nullptr for a by-value argument or
    /// another type.
    template <class T>
    T* RefTo() const;

private:
    template <class P>
    explicit Argument(P* ref) : arg_(ref) {}

    std::variant<Variant, Variant*, Integer*, Long*, Boolean*, String*> arg_;
};

template <class T>
T* Argument::RefTo() const {
    if (auto* v = std::get_if<Variant*>(&arg_)) return (*v)->Get<T>();
    if (auto* p = std::get_if<T*>(&arg_)) return *p;
    return nullptr;
}

}  // namespace vostrel
