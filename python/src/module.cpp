// The extension module vostrel._vostrel; the package `vostrel` re-exports it.
#include "bindings.hpp"
#include "exit_gate.hpp"
#include "vostrel/vostrel.hpp"

PYBIND11_MODULE(_vostrel, m) {
    using namespace vostrel::python;
    m.doc() = "The native part of the vostrel package (import vostrel instead).";
    BindErrors(m);
    WatchInterpreterExit(m);
    BindLoops(m);
    BindDefaultLoop(m);
    BindAsyncioLoop(m);
    BindControl(m);
    BindSim(m);
    BindBluetooth(m);
    CheckEveryClassGuarded(m);
    m.attr("WATCHDOG_INTERVAL") = vostrel::Vostrel::kWatchdogInterval / 1000.0;
    m.attr("MAILBOX_COUNT") = vostrel::Vostrel::kMailboxCount;
}
