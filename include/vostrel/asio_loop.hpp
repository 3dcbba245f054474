// The platform layer's EventLoop over an Asio io_context, for hosts that
// already run one: the serial port and the timer then deliver OnComm and
// Timer from the host's io_context::run(), on the thread that runs it.
// Link vostrel::asio (built only where Asio is found). This header does not
// pull Asio in.
#pragma once

#include <memory>

#include "vostrel/platform.hpp"

namespace asio {
class io_context;
}

namespace vostrel::platform {

/// Watches and timers on `io` (not owned; it must outlive the adapter).
/// Run `io` on one thread only: the control and its components belong to it.
/// Asio registers a descriptor once: watch each descriptor at most once at
/// a time (Watch throws std::system_error otherwise).
/// Destroying the adapter cancels its watches and timers; handlers of them
/// still queued in `io` then do nothing.
class AsioLoop : public EventLoop {
public:
    explicit AsioLoop(asio::io_context& io);
    ~AsioLoop() override;
    AsioLoop(const AsioLoop&) = delete;
    AsioLoop& operator=(const AsioLoop&) = delete;

    asio::io_context& Context() const;

    TimePoint Now() const override;
    Id Watch(int fd, Callback onReady) override;
    void Unwatch(Id watch) override;
    Id StartTimer(TimePoint due, Clock::duration period, Callback onTick) override;
    void CancelTimer(Id timer) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vostrel::platform
