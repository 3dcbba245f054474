// The default loop (POSIX): one wait per iteration on the watched
// descriptors and a wake-up pipe, with a timeout to the next timer. The
// poller (epoll on Linux) and the timer queue persist between iterations,
// so a wake-up does not cost more for every idle watch and timer.
// On Linux a timerfd wakes it for timers far ahead: the kernel lets a wait's
// timeout run late by a thousandth of its length (10 ms on the watchdog's
// 10 s), a timerfd only by the thread's timer slack (50 us).
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/timerfd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/poller.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::platform {

namespace {
// The loop's own descriptors in the poller; watches use ids from 1.
constexpr std::uint64_t kTimerFdKey = ~std::uint64_t{0} - 1;
constexpr std::uint64_t kWakeKey = ~std::uint64_t{0};
}  // namespace

DefaultLoop::DefaultLoop() : poller_(std::make_unique<Poller>()) {
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
    poller_->Add(wakeRead_, kWakeKey);
    // Waited on also while not armed: it is then never readable.
    if (timerFd_ >= 0) poller_->Add(timerFd_, kTimerFdKey);
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
    poller_->Add(fd, id);
    watches_.emplace(id, WatchEntry{fd, std::move(onReady)});
    return id;
}

EventLoop::Id DefaultLoop::WatchWritable(int fd, Callback onWritable) {
    const Id id = nextId_++;
    poller_->Add(fd, id, true);
    watches_.emplace(id, WatchEntry{fd, std::move(onWritable)});
    return id;
}

void DefaultLoop::Unwatch(Id watch) {
    // The current turn may still report it: each ready watch is looked up
    // again before its callback runs.
    if (watches_.erase(watch) != 0) poller_->Remove(watch);
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
        // What was ready is taken before any callback runs; a callback may
        // change the watches or run the loop itself.
        std::vector<Id> ready;
        poller_->Wait(timeout, ready);
        ++wakeups_;
        // The loop's own keys sort last.
        bool posted = false, timerFired = false;
        while (!ready.empty() && ready.back() >= kTimerFdKey) {
            (ready.back() == kWakeKey ? posted : timerFired) = true;
            ready.pop_back();
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
