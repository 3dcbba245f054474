#include "testsupport/memory_loop.hpp"

#include <vector>

namespace vostrel::testing {

platform::EventLoop::Id MemoryLoop::Watch(int fd, Callback onReady) {
    const Id id = nextId_++;
    watches_.emplace(id, std::make_pair(fd, std::move(onReady)));
    return id;
}

platform::EventLoop::Id MemoryLoop::StartTimer(TimePoint due, Clock::duration period,
                                               Callback onTick) {
    const Id id = nextId_++;
    timers_.emplace(id, Entry{due, period, std::move(onTick)});
    return id;
}

void MemoryLoop::Advance(Clock::duration d) {
    const TimePoint target = now_ + d;
    for (;;) {
        // The earliest timer due by the target, ties in the order they were made.
        auto next = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (it->second.due <= target && (next == timers_.end() || it->second.due < next->second.due))
                next = it;
        if (next == timers_.end()) break;
        now_ = next->second.due;
        Callback fn = next->second.fn;
        if (next->second.period > Clock::duration::zero())
            next->second.due += next->second.period;
        else
            timers_.erase(next);
        fn();
    }
    now_ = target;
}

int MemoryLoop::Ready(int fd) {
    std::vector<Id> ids;
    for (const auto& [id, w] : watches_)
        if (w.first == fd) ids.push_back(id);
    int called = 0;
    for (Id id : ids) {
        auto it = watches_.find(id);
        if (it == watches_.end()) continue;
        Callback fn = it->second.second;
        fn();
        ++called;
    }
    return called;
}

bool MemoryLoop::Watching(int fd) const {
    for (const auto& [id, w] : watches_)
        if (w.first == fd) return true;
    return false;
}

}  // namespace vostrel::testing
