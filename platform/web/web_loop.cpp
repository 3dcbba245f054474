// Timers on the page's clock, woken by the browser's setTimeout.
#include "platform/web/web_loop.hpp"

#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <vector>

namespace vostrel::platform::web {

namespace {

using Ms = std::chrono::duration<double, std::milli>;

}  // namespace

WebLoop::WebLoop(emscripten::val host) : host_(std::move(host)) {}

WebLoop::~WebLoop() = default;

EventLoop::TimePoint WebLoop::Now() const {
    return TimePoint(std::chrono::duration_cast<Clock::duration>(Ms(host_.call<double>("now"))));
}

EventLoop::Id WebLoop::Watch(int fd, Callback) {
    throw Error(err::kDeviceIo, "a web page has no descriptor " + std::to_string(fd) + " to watch");
}

EventLoop::Id WebLoop::StartTimer(TimePoint due, Clock::duration period, Callback onTick) {
    const Id id = nextId_++;
    timers_.emplace(id, TimerEntry{due, period, std::move(onTick)});
    queue_.emplace(due, id);
    Rearm();
    return id;
}

void WebLoop::CancelTimer(Id timer) {
    auto it = timers_.find(timer);
    if (it == timers_.end()) return;
    queue_.erase({it->second.due, timer});
    timers_.erase(it);
    Rearm();
}

double WebLoop::NextDueMs() const {
    if (queue_.empty()) return std::numeric_limits<double>::infinity();
    return std::chrono::duration_cast<Ms>(queue_.begin()->first.time_since_epoch()).count();
}

void WebLoop::RunDue() {
    running_ = true;
    armedMs_ = -1;  // the host's wake-up has been spent
    const TimePoint now = Now();
    // Only what is due now: a timer a callback starts for now runs in the
    // next round, after the browser had its turn.
    std::vector<std::pair<TimePoint, Id> > due;
    for (auto it = queue_.begin(); it != queue_.end() && it->first <= now; ++it) due.push_back(*it);
    for (const auto& [when, id] : due) {
        auto it = timers_.find(id);
        if (it == timers_.end() || it->second.due != when) continue;  // cancelled meanwhile
        queue_.erase({when, id});
        Callback fn = it->second.fn;
        if (it->second.period > Clock::duration::zero()) {
            // Fixed deadlines; ticks missed while the page was busy are skipped.
            TimePoint next = when + it->second.period;
            if (next <= now) next += ((now - next) / it->second.period + 1) * it->second.period;
            it->second.due = next;
            queue_.emplace(next, id);
        } else {
            timers_.erase(it);
        }
        try {
            fn();
        } catch (const std::exception& e) {
            host_.call<void>("uncaught", std::string(e.what()));
        } catch (...) {
            host_.call<void>("uncaught", std::string("unknown exception"));
        }
    }
    running_ = false;
    Rearm();
}

void WebLoop::Rearm() {
    if (running_) return;
    const double next = NextDueMs();
    if (next == armedMs_) return;
    armedMs_ = next;
    host_.call<void>("wakeAt", next);
}

}  // namespace vostrel::platform::web
