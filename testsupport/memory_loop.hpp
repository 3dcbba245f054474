// An event loop on a manual clock with manual readiness: nothing happens
// until the test advances time or says a descriptor is ready.
#pragma once

#include <map>

#include "vostrel/platform.hpp"

namespace vostrel::testing {

class MemoryLoop : public platform::EventLoop {
public:
    TimePoint Now() const override { return now_; }
    Id Watch(int fd, Callback onReady) override;
    void Unwatch(Id watch) override { watches_.erase(watch); }
    Id StartTimer(TimePoint due, Clock::duration period, Callback onTick) override;
    void CancelTimer(Id timer) override { timers_.erase(timer); }

    // --- the test's side ------------------------------------------------------
    /// Moves the clock forward by `d`, running every tick that falls due on
    /// the way, in order, with the clock at its due time. Ticks added or
    /// cancelled by a callback count from then on.
    void Advance(Clock::duration d);
    /// Calls, once each, the callbacks of every watch on `fd`, as a loop
    /// does when it finds `fd` ready. Returns how many were called.
    int Ready(int fd);
    /// Whether anything watches `fd`.
    bool Watching(int fd) const;
    /// Timers that will tick again.
    std::size_t ActiveTimers() const { return timers_.size(); }

private:
    struct Entry {
        TimePoint due;
        Clock::duration period;
        Callback fn;
    };
    TimePoint now_{};
    Id nextId_ = 1;
    std::map<Id, std::pair<int, Callback>> watches_;
    std::map<Id, Entry> timers_;
};

}  // namespace vostrel::testing
