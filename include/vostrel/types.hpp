// Scalar types of the control's interface and the error it raises.
#pragma once

#include <concepts>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace vostrel {

/// 16-bit signed whole number (mailbox numbers, port numbers, speeds).
using Integer = std::int16_t;
/// 32-bit signed whole number (values sent with SendValue).
using Long = std::int32_t;
/// Byte string: one char per byte, char code = byte value (0 to 255).
using String = std::string;

/// 16-bit Boolean: 0 = False, -1 (all bits set) = True.
///
/// A C++ `bool` converts to the canonical values (true -> -1), so
/// `control.PingNXT(true)` does what a host means. Any other 16-bit pattern
/// can be made explicitly (`Boolean(1)`); the control stores such a value
/// exactly as passed, and only -1 counts as True where the control tests one.
class Boolean {
public:
    constexpr Boolean() = default;
    constexpr Boolean(bool b) : raw_(b ? -1 : 0) {}  // NOLINT: implicit by design
    template <std::integral I>
        requires(!std::same_as<I, bool>)
    explicit constexpr Boolean(I raw) : raw_(static_cast<std::int16_t>(raw)) {}

    /// The stored 16 bits.
    constexpr std::int16_t raw() const { return raw_; }
    /// True only for exactly -1, as the control tests a Boolean.
    constexpr bool IsTrue() const { return raw_ == -1; }

    friend constexpr bool operator==(Boolean, Boolean) = default;

private:
    std::int16_t raw_ = 0;
};

inline constexpr Boolean kTrue{true};
inline constexpr Boolean kFalse{false};

/// Error numbers the control and its components raise. They follow the
/// numbering Automation hosts know, so a host can test for them.
namespace err {
inline constexpr int kInvalidArgument = 5;       // invalid procedure call or argument
inline constexpr int kOverflow = 6;              // a value does not fit its type
inline constexpr int kSubscriptOutOfRange = 9;   // index outside an array's bounds
inline constexpr int kTypeMismatch = 13;         // value cannot be converted
inline constexpr int kBadFileFormat = 321;       // malformed stored data
inline constexpr int kInvalidPropertyValue = 380;  // a component refused a setting
inline constexpr int kSetNotPermitted = 387;     // property set not permitted (design mode)
inline constexpr int kPortOpen = 8000;           // operation not valid while the port is open
inline constexpr int kPortInvalid = 8002;        // no device for that port number
inline constexpr int kPortAlreadyOpen = 8005;    // the device is held by someone else
inline constexpr int kPortNotOpen = 8012;        // the port is not open
inline constexpr int kDeviceIo = 8020;           // reading or writing the device failed
inline constexpr int kHostFailure = 50000;       // the host's site or sink failed
}  // namespace err

/// The error the control raises where its contract raises one, carrying the
/// error number. `what()` holds a readable description.
class Error : public std::runtime_error {
public:
    Error(int number, const std::string& description)
        : std::runtime_error(description), number_(number) {}
    explicit Error(int number);

    /// The error number (see `vostrel::err`).
    int Number() const noexcept { return number_; }

private:
    int number_;
};

/// The platform's standard text for an error number ("Overflow", ...).
std::string ErrorText(int number);

}  // namespace vostrel
