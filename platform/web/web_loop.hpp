// The page's event loop as the control's loop: timers run on the browser's
// own (setTimeout), through a small JavaScript host object; there are no
// descriptors to watch. Nothing here waits: the page's thread returns to
// the browser after every callback.
#pragma once

#include <emscripten/val.h>

#include <map>
#include <set>
#include <utility>

#include "vostrel/platform.hpp"

namespace vostrel::platform::web {

class WebLoop : public EventLoop {
public:
    /// `host` is a JavaScript object with now() (a monotonic clock in
    /// milliseconds, performance.now() in a page or a test's fake clock) and
    /// wakeAt(ms) (call RunDue at that time on the same clock or later; each
    /// call replaces the one before; Infinity: nothing is due).
    explicit WebLoop(emscripten::val host);
    ~WebLoop() override;
    WebLoop(const WebLoop&) = delete;
    WebLoop& operator=(const WebLoop&) = delete;

    TimePoint Now() const override;
    /// A page has no descriptors: throws Error(err::kDeviceIo).
    Id Watch(int fd, Callback onReady) override;
    void Unwatch(Id) override {}
    Id StartTimer(TimePoint due, Clock::duration period, Callback onTick) override;
    void CancelTimer(Id timer) override;

    /// Runs every timer due by now, in due order, then asks the host to wake
    /// it for the next one. An exception from a callback is passed to the
    /// host's uncaught(text) and the loop goes on.
    void RunDue();
    /// Runs `fn` from the loop as soon as the page's thread is free.
    void Post(Callback fn) { StartTimer(Now(), Clock::duration::zero(), std::move(fn)); }
    /// The time of the next due timer in the host's milliseconds (Infinity: none).
    double NextDueMs() const;

private:
    struct TimerEntry {
        TimePoint due;
        Clock::duration period;
        Callback fn;
    };
    void Rearm();

    emscripten::val host_;
    Id nextId_ = 1;
    std::map<Id, TimerEntry> timers_;
    // The timers by due time, then id: ties tick in the order they started.
    std::set<std::pair<TimePoint, Id> > queue_;
    double armedMs_ = -1;   // what the host was last asked to wake at
    bool running_ = false;  // inside RunDue: it re-arms once at its end
};

}  // namespace vostrel::platform::web
