// The common base of the loops a control can be made on.
#include "loops.hpp"

#include "bindings.hpp"

namespace vostrel::python {

void BindLoops(py::module_& m) {
    py::class_<LoopHolder>(
        m, "Loop",
        "A loop a Vostrel control runs on: DefaultLoop (blocking) or AsyncioLoop.\n"
        "Not made directly.");
}

}  // namespace vostrel::python
