// The poll-based default loop (POSIX): one ppoll per iteration over the
// watched descriptors and a wake-up pipe, with a timeout to the next timer.
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

DefaultLoop::DefaultLoop() {
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
    return id;
}

void DefaultLoop::Unwatch(Id watch) { watches_.erase(watch); }

EventLoop::Id DefaultLoop::StartTimer(TimePoint due, Clock::duration period, Callback onTick) {
    const Id id = nextId_++;
    timers_.emplace(id, TimerEntry{due, period, std::move(onTick)});
    return id;
}

void DefaultLoop::CancelTimer(Id timer) { timers_.erase(timer); }

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
    // The ids due now, earliest first; a callback may cancel or add timers,
    // so each is looked up again before it runs.
    std::vector<std::pair<TimePoint, Id>> due;
    for (const auto& [id, t] : timers_)
        if (t.due <= now) due.emplace_back(t.due, id);
    std::sort(due.begin(), due.end());
    for (const auto& [when, id] : due) {
        auto it = timers_.find(id);
        if (it == timers_.end() || it->second.due != when) continue;
        Callback fn = it->second.fn;  // the callback may cancel its own entry
        if (it->second.period > Clock::duration::zero()) {
            TimerEntry& t = it->second;
            // Next fixed deadline after now; late ticks are skipped, not bunched.
            t.due += t.period;
            if (t.due <= now) t.due += ((now - t.due) / t.period + 1) * t.period;
        } else {
            timers_.erase(it);
        }
        fn();
        if (stopRequested_.load()) return;
    }
}

void DefaultLoop::RunUntil(TimePoint deadline, bool bounded) {
    std::vector<pollfd> fds;
    std::vector<Id> ids;
    while (!stopRequested_.exchange(false)) {
        // The wait ends at the earliest of the next timer and the deadline.
        TimePoint wakeAt = deadline;
        for (const auto& [id, t] : timers_)
            if (t.due < wakeAt) wakeAt = t.due;

        ArmPreciseWake(wakeAt);
        fds.assign(1, pollfd{wakeRead_, POLLIN, 0});
        ids.assign(1, 0);
        const bool timerFdPolled = armedAt_ != TimePoint::max();
        if (timerFdPolled) {
            fds.push_back(pollfd{timerFd_, POLLIN, 0});
            ids.push_back(0);
        }
        const std::size_t firstWatch = fds.size();
        for (const auto& [id, w] : watches_) {
            fds.push_back(pollfd{w.fd, POLLIN, 0});
            ids.push_back(id);
        }

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

        if (fds[0].revents != 0) RunPosted();
        if (timerFdPolled && fds[1].revents != 0) {
            std::uint64_t expirations;
            [[maybe_unused]] ssize_t r = ::read(timerFd_, &expirations, sizeof expirations);
            armedAt_ = TimePoint::max();
        }
        if (stopRequested_.exchange(false)) return;
        RunDueTimers();
        if (stopRequested_.exchange(false)) return;
        for (std::size_t i = firstWatch; n > 0 && i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            auto it = watches_.find(ids[i]);
            if (it == watches_.end()) continue;  // unwatched by an earlier callback
            Callback fn = it->second.fn;         // the callback may unwatch itself
            fn();
            if (stopRequested_.exchange(false)) return;
        }
        if (bounded && Now() >= deadline) return;
    }
}

}  // namespace vostrel::platform
