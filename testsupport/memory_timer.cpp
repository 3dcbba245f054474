#include "testsupport/memory_timer.hpp"

namespace vostrel::testing {

void MemoryTimer::Interval(Long milliseconds) {
    if (milliseconds < 1) throw Error(err::kInvalidPropertyValue, "timer interval must be 1 ms or more");
    interval_ = milliseconds;
    elapsed_ = 0;
}

void MemoryTimer::Enabled(Boolean enabled) {
    enabled_ = enabled.raw() != 0 ? kTrue : kFalse;
    elapsed_ = 0;  // enabling starts the count from zero, disabling stops it
}

void MemoryTimer::Advance(long long ms) {
    while (ms > 0) {
        if (!enabled_.IsTrue()) {
            now_ += ms;
            return;
        }
        long long remaining = interval_ - elapsed_;
        if (ms < remaining) {
            elapsed_ += ms;
            now_ += ms;
            return;
        }
        ms -= remaining;
        now_ += remaining;
        elapsed_ = 0;
        ticks_.push_back(now_);
        if (handler_) handler_();
    }
}

}  // namespace vostrel::testing
