// The keep-alive watchdog's tick: the brick has been silent for a whole
// interval.
#include "vostrel/vostrel.hpp"

namespace vostrel {

void Vostrel::PingTimer_Timer() {
    // A brick never pauses inside a packet for a whole interval: a part
    // packet still waiting is the rest of a lost one, and would swallow the
    // start of the next.
    pending_.clear();
    try {
        if (PingNXT() == kTrue) {
            RaiseNoPing();  // the event first: its handler still sees the old status
            ErrorMessage("Ping error");
        }
    } catch (...) {
        // The timer stays enabled; nothing escapes into its delivery.
        ReportUnhandled(std::current_exception());
    }
}

}  // namespace vostrel
