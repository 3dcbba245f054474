// The two loops a Python program can run a control on (the blocking default
// loop and the asyncio adapter), as the control's binding sees them.
//
// Threading: a loop that serves controls belongs to the thread that made
// them; they all run there, and only that thread may run the loop. The
// loop thread runs the controls' own work without the GIL (DefaultLoop) or
// between Python calls (asyncio), so nothing may touch a control from
// elsewhere; a control whose last reference goes on another thread, or
// inside one of the loop's callbacks, is handed to the loop to destroy
// (Dispose).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <exception>
#include <memory>
#include <string>

#include "bindings.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::python {

class LoopHolder {
public:
    virtual ~LoopHolder() = default;
    /// The loop the control's components are made on.
    virtual platform::EventLoop& Loop() = 0;
    /// A KeyboardInterrupt or SystemExit raised by a handler inside a
    /// callback: the loop's runner raises it once the callback has returned
    /// (the first one wins). Called with the GIL held.
    virtual void Defer(std::exception_ptr error) = 0;

    /// A control is being made on the calling thread, which the loop serves
    /// from now on. RuntimeError when it serves controls of another thread
    /// or runs on another one. Called with the GIL held.
    void AddControl();
    /// That control is gone (the Python object). Called with the GIL held.
    void RemoveControl();
    /// Whether it has controls, and the thread it serves while it has.
    bool HasControls() const { return controls_ > 0; }
    unsigned long Owner() const { return owner_; }
    /// How another thread hands a call to the loop's thread, for messages.
    virtual std::string HowToReach() const = 0;

    /// Destroys `part`, something that calls into the loop (a control's
    /// native part), at a moment when no callback of the loop can be
    /// running: at once when that already holds, otherwise later on the
    /// loop's own thread. Called with the GIL held; never throws.
    virtual void Dispose(std::shared_ptr<void> part) noexcept = 0;

protected:
    /// Whether the loop runs on a thread other than the calling one
    /// (refused by AddControl). Called with the GIL held.
    virtual bool RunsElsewhere() = 0;

private:
    unsigned long owner_ = 0;
    std::size_t controls_ = 0;
};

}  // namespace vostrel::python

VOSTREL_PYTHON_MADE_ONLY(vostrel::python::LoopHolder);
