// The common base of the loops a control can be made on.
#include "loops.hpp"

#include <stdexcept>

#include "bindings.hpp"

namespace vostrel::python {

unsigned long ThisThread() { return PyThread_get_thread_ident(); }

void LoopHolder::AddControl() {
    const unsigned long me = ThisThread();
    if (controls_ > 0 && owner_ != me)
        throw std::runtime_error("this loop serves the controls of thread " +
                                 std::to_string(owner_) +
                                 "; make every control of a loop on the same thread (this is " +
                                 std::to_string(me) + ")");
    if (RunsElsewhere())
        throw std::runtime_error(
            "this loop runs on another thread; make its controls on the thread that runs it");
    owner_ = me;
    ++controls_;
}

void LoopHolder::RemoveControl() {
    if (controls_ > 0) --controls_;
}

void BindLoops(py::module_& m) {
    BindClass<LoopHolder>(
        m, "Loop",
        "A loop a Vostrel control runs on: DefaultLoop (blocking) or AsyncioLoop.\n"
        "Not made directly. A loop serves the thread that made its controls: they\n"
        "are used there only, and only that thread runs the loop.");
}

}  // namespace vostrel::python
