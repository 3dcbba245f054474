// Python from our C++ frames on threads that may outlive the interpreter.
//
// When the interpreter exits, Python ends a daemon thread the moment it
// next takes the GIL, by unwinding its stack. Unwound from inside our C++
// code (a loop's callback, a destructor, the control's receive path), that
// aborts the process. So every place where C++ code of ours takes the GIL,
// or runs Python code with it, goes through these guards: once the exit
// has begun, a thread that would take the GIL stops there for good (as
// Python would have stopped it), and the exit waits (up to kExitGrace) for
// the threads already inside to leave.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>

namespace vostrel::python {

/// How long the interpreter's exit waits for threads inside our guarded
/// Python calls (a handler still running) before it goes on.
inline constexpr std::chrono::milliseconds kExitGrace{1000};

/// Registers the exit hook (an atexit function). Called at import.
void WatchInterpreterExit(pybind11::module_& m);

/// Whether the interpreter's exit has begun, for a thread other than the one
/// running it.
bool ExitBegun();

/// The calling thread is in Python on behalf of C++ code: takes the GIL
/// unless it holds it already. When the exit has begun and the thread does
/// not hold the GIL (and is not the one running the exit), never returns:
/// the thread sleeps until the process ends. Scopes nest.
class WithPython {
public:
    WithPython() = default;
    WithPython(const WithPython&) = delete;
    WithPython& operator=(const WithPython&) = delete;

private:
    struct Counted {
        Counted();
        ~Counted();
        Counted(const Counted&) = delete;
        Counted& operator=(const Counted&) = delete;
    };
    Counted counted_;  // first: counted before the GIL is taken, until after it is let go
    pybind11::gil_scoped_acquire gil_;
};

/// Lets the GIL go for a wait, inside a WithPython scope; taking it back
/// follows WithPython's rule (once the exit has begun the thread stops
/// there, unless it is the one running the exit).
class WithoutPython {
public:
    WithoutPython() = default;
    WithoutPython(const WithoutPython&) = delete;
    WithoutPython& operator=(const WithoutPython&) = delete;

private:
    struct Uncounted {
        Uncounted();
        ~Uncounted();
        Uncounted(const Uncounted&) = delete;
        Uncounted& operator=(const Uncounted&) = delete;
    };
    pybind11::gil_scoped_release release_;
    Uncounted
        uncounted_;  // after: uncounted once the GIL is let go, counted again before it is taken
};

}  // namespace vostrel::python
