// What every port of the platform layer offers beyond the control's Comm:
// the one explicit wait, a way to cut its waits short, and why its link
// failed. The tool and hosts reach any port through it (LinePortOf), so a
// new kind of port cannot be left without its interrupt.
#pragma once

#include <chrono>
#include <string>

#include "vostrel/components.hpp"

namespace vostrel {
class Vostrel;
}

namespace vostrel::platform {

/// What ends a port's waits once it fires: on Windows a Win32 event handle
/// (signalled), elsewhere a file descriptor (readable), such as an
/// interrupt's self-pipe. kNoCancel: none.
#if defined(_WIN32)
using CancelSignal = void*;
inline constexpr CancelSignal kNoCancel = nullptr;
#else
using CancelSignal = int;
inline constexpr CancelSignal kNoCancel = -1;
#endif

class LinePort : public Comm {
public:
    /// Waits, at most `timeout`, until every byte Output accepted has left
    /// this program and the system's queue: true when it did (also on a
    /// closed port); false when the time ran out, the wait was cancelled or
    /// accepted bytes were lost to a failed line. Runs no loop callbacks.
    virtual bool Drain(std::chrono::milliseconds timeout) = 0;
    /// Once `signal` fires, every wait of the port ends at once: Drain
    /// returns false, and closing skips the rest of its grace (what is still
    /// queued is lost and reported as usual). The signal stays the caller's
    /// and must stay valid while set; kNoCancel (the default) sets none.
    virtual void CancelWaitsOn(CancelSignal signal) = 0;
    /// Why the link failed or did not come up; "" while it is fine or for a
    /// port whose failures all show in its errors (a tty).
    virtual std::string LinkFailure() const { return ""; }
};

/// The port of a control MakeControl made. Throws std::bad_cast for a
/// control made on another kind of Comm.
LinePort& LinePortOf(Vostrel& control);

}  // namespace vostrel::platform
