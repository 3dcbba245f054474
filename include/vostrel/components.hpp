// The two components a Vostrel control owns: its serial port (Comm1) and its
// watchdog timer (PingTimer). The control uses exactly these members; any
// implementation that keeps these promises can stand in (in-memory ones in
// tests, real ones from the platform layer).
//
// Error rules: a member that cannot do what is asked throws vostrel::Error
// with one of the numbers in vostrel::err and changes nothing.
//
// Threading rules: members are called, and handlers are invoked, on the
// host's one thread. A component never invokes a handler while a member of
// the control is running; an event that falls due meanwhile is delivered
// afterwards, one at a time.
#pragma once

#include <functional>

#include "vostrel/types.hpp"

namespace vostrel {

/// Serial port component (the control's `Comm1`).
///
/// Receive notification: OnComm fires whenever received bytes are waiting
/// (a threshold of at most a few bytes), and also on other line events
/// (hang-up, failure), which the control does not tell apart.
class Comm {
public:
    using Handler = std::function<void()>;
    virtual ~Comm() = default;

    /// Selects the device the next open uses. Throws while the port is open
    /// (kPortOpen; the port stays open with its old number) or when no device
    /// can be named by the number (kPortInvalid).
    virtual void CommPort(Integer port) = 0;
    virtual Integer CommPort() const = 0;

    /// Line settings, "speed,parity,data,stop" such as "9600,n,8,1". Throws
    /// kInvalidPropertyValue on a text the port refuses.
    virtual void Settings(const String& settings) = 0;
    virtual String Settings() const = 0;

    /// True opens the selected device with the settings (throws if it
    /// cannot); False closes it (closing a closed port does nothing). A
    /// close that had to throw away bytes Output had accepted still closes,
    /// then throws kDeviceIo, so the loss is never silent.
    virtual void PortOpen(Boolean open) = 0;
    /// kTrue (-1) exactly while the port is open, kFalse otherwise.
    virtual Boolean PortOpen() const = 0;

    /// Writes every char as one byte, in order, unchanged, the whole string
    /// in one write. Throws kPortNotOpen when closed, kDeviceIo on failure.
    virtual void Output(const String& bytes) = 0;

    /// Every byte received and not yet read, in order, unchanged; "" when
    /// none is waiting. Empties the receive buffer.
    virtual String Input() = 0;

    /// Sets the handler of the OnComm notification (replaces any earlier).
    virtual void OnComm(Handler handler) = 0;
};

/// Timer component (the control's `PingTimer`).
class Timer {
public:
    using Handler = std::function<void()>;
    virtual ~Timer() = default;

    /// Period in milliseconds (1 or more).
    virtual void Interval(Long milliseconds) = 0;
    virtual Long Interval() const = 0;

    /// True starts counting from zero, also when already enabled: the next
    /// tick comes one full Interval later. False stops counting.
    virtual void Enabled(Boolean enabled) = 0;
    virtual Boolean Enabled() const = 0;

    /// Sets the handler of the Timer event: invoked each time one Interval
    /// has elapsed while enabled; the timer stays enabled afterwards.
    virtual void OnTimer(Handler handler) = 0;
};

}  // namespace vostrel
