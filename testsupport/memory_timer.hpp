// A timer on virtual time: nothing happens until the test advances it.
#pragma once

#include <vector>

#include "vostrel/components.hpp"

namespace vostrel::testing {

class MemoryTimer : public Timer {
public:
    void Interval(Long milliseconds) override;
    Long Interval() const override { return interval_; }
    /// True restarts the count from zero, also when already enabled.
    void Enabled(Boolean enabled) override;
    Boolean Enabled() const override { return enabled_; }
    void OnTimer(Handler handler) override { handler_ = std::move(handler); }

    // --- the test's side ------------------------------------------------------
    /// Moves virtual time forward by `ms`, ticking at every interval boundary
    /// reached while enabled. A handler may disable, re-enable or change the
    /// timer; the rest of the advance follows what it did.
    void Advance(long long ms);
    /// Virtual time since the timer was made, in ms.
    long long Now() const { return now_; }
    /// Virtual time of every tick so far.
    const std::vector<long long>& Ticks() const { return ticks_; }
    /// Milliseconds until the next tick, or -1 while disabled.
    long long UntilNextTick() const { return enabled_.IsTrue() ? interval_ - elapsed_ : -1; }

private:
    Long interval_ = 1000;
    Boolean enabled_ = kFalse;
    long long elapsed_ = 0;  // since counting began
    long long now_ = 0;
    std::vector<long long> ticks_;
    Handler handler_;
};

}  // namespace vostrel::testing
