// The poll-based default loop (POSIX): one ppoll per iteration over the
// watched descriptors and a wake-up pipe, with a timeout to the next timer.
// The poll array and the timer queue persist between iterations, so what a
// wake-up costs in the loop does not grow with the number of idle watches
// and timers (the system's poll itself still looks at every descriptor).
// On Linux a timerfd wakes it for timers far ahead: the kernel lets a poll
// timeout run late by a thousandth of its length (10 ms on the watchdog's
// 10 s), a timerfd only by the thread's timer slack (50 us).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/timerfd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "vostrel/platform.hpp"

namespace vostrel::platform {

struct DefaultLoop::PollSet {
    std::vector<pollfd> fds;  // wake-up pipe, timerfd (where there is one), then the watches
    std::vector<Id> ids;      // the watch of each entry of fds; 0 for the loop's own
    std::size_t firstWatch = 0;
};

DefaultLoop::DefaultLoop() : pollSet_(std::make_unique<PollSet>()) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw Error(err::kDeviceIo,
                    std::string("cannot make the loop's wake-up pipe: ") + std::strerror(errno));
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
#ifdef __linux__
    // Without one, timers still come from the poll timeout, only less exactly.
    timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
#endif
}

DefaultLoop::~DefaultLoop() {
    ::close(wakeRead_);
    ::close(wakeWrite_);
    if (timerFd_ >= 0) ::close(timerFd_);
}

void DefaultLoop::ArmPreciseWake(TimePoint wakeAt) {
#ifdef __linux__
    // Short waits are exact enough from the poll timeout. An armed time
    // earlier than wanted is left alone: it costs one early wake-up, while
    // re-arming on every later deadline (the watchdog moves on each packet)
    // would cost a system call each time.
    if (timerFd_ < 0 || wakeAt == TimePoint::max() || armedAt_ <= wakeAt) return;
    if (wakeAt - Now() < kPreciseAfter) return;
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt.time_since_epoch()).count();
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    if (::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &spec, nullptr) == 0) armedAt_ = wakeAt;
#else
    (void)wakeAt;
#endif
}

EventLoop::TimePoint DefaultLoop::Now() const { return Clock::now(); }

EventLoop::Id DefaultLoop::Watch(int fd, Callback onReady) {
    const Id id = nextId_++;
    watches_.emplace(id, WatchEntry{fd, std::move(onReady)});
    pollSetStale_ = true;
    return id;
}

void DefaultLoop::Unwatch(Id watch) {
    // The poll array may still name it until the next turn: each ready
    // entry is looked up again before its callback runs.
    if (watches_.erase(watch) != 0) pollSetStale_ = true;
}

EventLoop::Id DefaultLoop::StartTimer(TimePoint due, Clock::duration period, Callback onTick) {
    const Id id = nextId_++;
    timers_.emplace(id, TimerEntry{due, period, std::move(onTick)});
    timerQueue_.emplace(due, id);
    return id;
}

void DefaultLoop::CancelTimer(Id timer) {
    auto it = timers_.find(timer);
    if (it == timers_.end()) return;
    timerQueue_.erase({it->second.due, timer});
    timers_.erase(it);
}

void DefaultLoop::RebuildPollSet() {
    PollSet& p = *pollSet_;
    p.fds.assign(1, pollfd{wakeRead_, POLLIN, 0});
    p.ids.assign(1, 0);
    // Polled also while not armed: it is then never readable.
    if (timerFd_ >= 0) {
        p.fds.push_back(pollfd{timerFd_, POLLIN, 0});
        p.ids.push_back(0);
    }
    p.firstWatch = p.fds.size();
    for (const auto& [id, w] : watches_) {
        p.fds.push_back(pollfd{w.fd, POLLIN, 0});
        p.ids.push_back(id);
    }
    pollSetStale_ = false;
}

void DefaultLoop::stop() {
    stopRequested_.store(true);
    Wake();
}

void DefaultLoop::post(std::function<void()> fn) {
    {
        std::lock_guard lock(postMutex_);
        posted_.push_back(std::move(fn));
    }
    Wake();
}

void DefaultLoop::Wake() {
    {
        std::lock_guard lock(postMutex_);
        if (wakePending_) return;  // one byte is enough to end the wait
        wakePending_ = true;
    }
    const char byte = 1;
    // A full pipe already wakes the loop, so a failed write loses nothing.
    [[maybe_unused]] ssize_t n = ::write(wakeWrite_, &byte, 1);
}

void DefaultLoop::run() { RunUntil(TimePoint::max(), false); }

void DefaultLoop::run_for(std::chrono::milliseconds d) { RunUntil(Now() + d, true); }

void DefaultLoop::RunPosted() {
    // Drained before the queue is taken: a post after the take writes a
    // fresh byte, so no wake-up is lost.
    char drain[64];
    while (::read(wakeRead_, drain, sizeof drain) > 0) {
    }
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard lock(postMutex_);
        batch.swap(posted_);
        wakePending_ = false;
    }
    // A throw leaves the rest queued for the next run, in order.
    for (std::size_t i = 0; i < batch.size(); ++i) {
        try {
            batch[i]();
        } catch (...) {
            {
                std::lock_guard lock(postMutex_);
                posted_.insert(posted_.begin(), std::make_move_iterator(batch.begin() + i + 1),
                               std::make_move_iterator(batch.end()));
            }
            Wake();  // so the next run takes them at once
            throw;
        }
    }
}

void DefaultLoop::RunDueTimers() {
    const TimePoint now = Now();
    // The timers due now, earliest first, taken before any runs: a tick may
    // cancel or start timers (one it starts runs on a later turn, as does a
    // repeating timer's next tick), so each is looked up again before it runs.
    std::vector<std::pair<TimePoint, Id>> due;
    for (auto it = timerQueue_.begin(); it != timerQueue_.end() && it->first <= now; ++it)
        due.push_back(*it);
    for (const auto& key : due) {
        auto it = timers_.find(key.second);
        if (it == timers_.end() || it->second.due != key.first) continue;
        timerQueue_.erase(key);
        TimerEntry& t = it->second;
        Callback fn;
        if (t.period > Clock::duration::zero()) {
            fn = t.fn;  // a copy: the tick may cancel its own timer
            // Next fixed deadline after now; late ticks are skipped, not bunched.
            t.due += t.period;
            if (t.due <= now) t.due += ((now - t.due) / t.period + 1) * t.period;
            timerQueue_.emplace(t.due, key.second);
        } else {
            fn = std::move(t.fn);
            timers_.erase(it);
        }
        fn();
        if (stopRequested_.load()) return;
    }
}

void DefaultLoop::RunUntil(TimePoint deadline, bool bounded) {
    while (!stopRequested_.exchange(false)) {
        // The wait ends at the earliest of the next timer and the deadline.
        TimePoint wakeAt = deadline;
        if (!timerQueue_.empty() && timerQueue_.begin()->first < wakeAt)
            wakeAt = timerQueue_.begin()->first;

        ArmPreciseWake(wakeAt);
        if (pollSetStale_) RebuildPollSet();
        std::vector<pollfd>& fds = pollSet_->fds;

        timespec ts{};
        timespec* timeout = nullptr;
        if (wakeAt != TimePoint::max()) {
            auto left = wakeAt - Now();
            if (left < Clock::duration::zero()) left = Clock::duration::zero();
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout = &ts;
        }
        const int n = ::ppoll(fds.data(), fds.size(), timeout, nullptr);
        ++wakeups_;
        if (n < 0 && errno != EINTR)
            throw Error(err::kDeviceIo, std::string("poll failed: ") + std::strerror(errno));

        // Everything the poll reported, taken before any callback runs: a
        // callback may change the watches or run the loop itself, and either
        // reuses the poll array. Only as many entries are looked at as were ready.
        bool posted = false, timerFired = false;
        std::vector<Id> ready;
        for (std::size_t i = 0, left = n > 0 ? static_cast<std::size_t>(n) : 0;
             left > 0 && i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            --left;
            if (i >= pollSet_->firstWatch)
                ready.push_back(pollSet_->ids[i]);
            else if (fds[i].fd == wakeRead_)
                posted = true;
            else
                timerFired = true;
        }

        if (posted) RunPosted();
        if (timerFired) {
            std::uint64_t expirations;
            [[maybe_unused]] ssize_t r = ::read(timerFd_, &expirations, sizeof expirations);
            armedAt_ = TimePoint::max();
        }
        if (stopRequested_.exchange(false)) return;
        RunDueTimers();
        if (stopRequested_.exchange(false)) return;
        for (const Id id : ready) {
            auto it = watches_.find(id);
            if (it == watches_.end()) continue;  // unwatched by an earlier callback
            Callback fn = it->second.fn;         // the callback may unwatch itself
            fn();
            if (stopRequested_.exchange(false)) return;
        }
        if (bounded && Now() >= deadline) return;
    }
}

}  // namespace vostrel::platform
