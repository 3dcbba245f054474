// The watchdog timer on the loop's monotonic clock.
#include "vostrel/platform.hpp"

namespace vostrel::platform {

LoopTimer::LoopTimer(EventLoop& loop) : loop_(loop) {}

LoopTimer::~LoopTimer() { Stop(); }

void LoopTimer::Interval(Long milliseconds) {
    if (milliseconds < 1)
        throw Error(err::kInvalidPropertyValue,
                    "timer interval must be 1 ms or more, not " + std::to_string(milliseconds));
    interval_ = milliseconds;
    if (timer_ != 0) Start();
}

void LoopTimer::Enabled(Boolean enabled) {
    if (enabled.IsTrue())
        Start();
    else
        Stop();
}

void LoopTimer::Start() {
    Stop();
    const auto period = std::chrono::milliseconds(interval_);
    // Fixed deadlines from this moment: each tick is due a whole number of
    // intervals after it, however late the previous one ran.
    timer_ = loop_.StartTimer(loop_.Now() + period, period, [this] {
        if (handler_) handler_();
    });
}

void LoopTimer::Stop() {
    if (timer_ == 0) return;
    loop_.CancelTimer(timer_);
    timer_ = 0;
}

}  // namespace vostrel::platform
