// The EventLoop over Asio: a stream_descriptor wait per watch (the
// descriptor stays the caller's), a steady_timer per timer.
#include "vostrel/asio_loop.hpp"

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

namespace vostrel::platform {

namespace {

struct WatchState {
    WatchState(asio::io_context& io, int fd, EventLoop::Callback f) : sd(io, fd), fn(std::move(f)) {}
    asio::posix::stream_descriptor sd;
    EventLoop::Callback fn;
    bool alive = true;
};

struct TimerState {
    TimerState(asio::io_context& io, EventLoop::Clock::duration p, EventLoop::Callback f)
        : timer(io), period(p), fn(std::move(f)) {}
    asio::steady_timer timer;
    EventLoop::Clock::duration period;
    EventLoop::Callback fn;
    bool alive = true;
};

// Asio waits for a readiness edge; the wait is queued again before the
// callback reads, so bytes arriving while it runs raise the next edge.
void ArmWatch(const std::shared_ptr<WatchState>& w) {
    w->sd.async_wait(asio::posix::stream_descriptor::wait_read, [w](const std::error_code& ec) {
        if (!w->alive || ec) return;
        ArmWatch(w);
        EventLoop::Callback fn = w->fn;  // the callback may unwatch itself
        fn();
    });
}

void Release(WatchState& w) {
    w.alive = false;
    std::error_code ignored;
    w.sd.cancel(ignored);
    w.sd.release();  // the descriptor belongs to the caller, never closed here
}

}  // namespace

struct AsioLoop::Impl {
    explicit Impl(asio::io_context& c) : io(c) {}
    asio::io_context& io;
    Id nextId = 1;
    std::map<Id, std::shared_ptr<WatchState>> watches;
    std::map<Id, std::shared_ptr<TimerState>> timers;

    void ArmTimer(Id id, const std::shared_ptr<TimerState>& t) {
        t->timer.async_wait([this, id, t](const std::error_code& ec) {
            if (!t->alive || ec) return;
            if (t->period > Clock::duration::zero()) {
                // Next fixed deadline after now; late ticks are skipped.
                auto next = t->timer.expiry() + t->period;
                const auto now = Clock::now();
                if (next <= now) next += ((now - next) / t->period + 1) * t->period;
                t->timer.expires_at(next);
                ArmTimer(id, t);
            } else {
                t->alive = false;
                timers.erase(id);
            }
            EventLoop::Callback fn = t->fn;
            fn();
        });
    }
};

AsioLoop::AsioLoop(asio::io_context& io) : impl_(std::make_unique<Impl>(io)) {}

AsioLoop::~AsioLoop() {
    for (auto& [id, w] : impl_->watches) Release(*w);
    for (auto& [id, t] : impl_->timers) {
        t->alive = false;
        t->timer.cancel();
    }
}

asio::io_context& AsioLoop::Context() const { return impl_->io; }

EventLoop::TimePoint AsioLoop::Now() const { return Clock::now(); }

EventLoop::Id AsioLoop::Watch(int fd, Callback onReady) {
    const Id id = impl_->nextId++;
    auto w = std::make_shared<WatchState>(impl_->io, fd, std::move(onReady));
    impl_->watches.emplace(id, w);
    ArmWatch(w);
    return id;
}

void AsioLoop::Unwatch(Id watch) {
    auto it = impl_->watches.find(watch);
    if (it == impl_->watches.end()) return;
    Release(*it->second);
    impl_->watches.erase(it);
}

EventLoop::Id AsioLoop::StartTimer(TimePoint due, Clock::duration period, Callback onTick) {
    const Id id = impl_->nextId++;
    auto t = std::make_shared<TimerState>(impl_->io, period, std::move(onTick));
    t->timer.expires_at(due);
    impl_->timers.emplace(id, t);
    impl_->ArmTimer(id, t);
    return id;
}

void AsioLoop::CancelTimer(Id timer) {
    auto it = impl_->timers.find(timer);
    if (it == impl_->timers.end()) return;
    it->second->alive = false;
    it->second->timer.cancel();
    impl_->timers.erase(it);
}

}  // namespace vostrel::platform
