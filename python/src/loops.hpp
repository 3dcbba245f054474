// The two loops a Python program can run a control on (the blocking default
// loop and the asyncio adapter), as the control's binding sees them.
#pragma once

#include <exception>

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
};

}  // namespace vostrel::python
