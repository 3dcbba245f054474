// The outgoing side of a port on a non-blocking descriptor (a tty, a
// socket): a bounded queue in front of the system's buffer, emptied from the
// loop as the descriptor takes bytes. Internal to the platform layer; every
// descriptor-based port uses it, so they all accept, refuse and send alike.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "vostrel/platform.hpp"

namespace vostrel::platform::detail {

/// Whether `cancelFd` (-1: none) is readable now: the port's waits were
/// cancelled (SerialPort::CancelWaitsOn).
bool Cancelled(int cancelFd);

/// Bytes the system still holds in `fd`'s output queue (TIOCOUTQ); 0 when
/// it cannot say.
int SystemQueued(int fd);

/// Waits until the system's own output queue of `fd` is empty (true), or
/// `deadline` passes or `cancelFd` is readable (false). `queued` measures
/// the queue (a socket family whose kernel answers TIOCOUTQ differently has
/// its own). A descriptor that cannot say counts as empty. No event tells
/// when the system has sent its bytes, so it looks every millisecond.
bool WaitForSystemQueue(int fd, std::chrono::steady_clock::time_point deadline, int cancelFd,
                        int (*queued)(int fd) = SystemQueued);

/// Threading: the loop's thread only, like the port that owns it.
class FdWriteQueue {
public:
    using Clock = std::chrono::steady_clock;
    /// How often the loop retries queued bytes where it cannot watch a
    /// descriptor for room (EventLoop::WatchWritable returns 0).
    static constexpr std::chrono::milliseconds kRetry{10};

    explicit FdWriteQueue(EventLoop& loop) : loop_(loop) {}
    ~FdWriteQueue() { Stop(); }
    FdWriteQueue(const FdWriteQueue&) = delete;
    FdWriteQueue& operator=(const FdWriteQueue&) = delete;

    /// Bytes and packets accepted that never reached the system.
    struct Dropped {
        std::size_t bytes = 0;
        std::size_t packets = 0;  // each counted once, also when part of it left
    };

    /// Serves `fd` (open, non-blocking, not owned) from now on, empty and
    /// with nothing counted lost.
    void Start(int fd);
    /// Stops serving: what is still queued counts as lost. Returns what was
    /// lost since Start. Nothing is written.
    Dropped Stop() noexcept;

    /// Takes `bytes`, one packet, whole and returns at once: what the descriptor takes
    /// now is written, the rest queued behind bytes accepted earlier and
    /// written from the loop, in order, as the descriptor takes more. Never
    /// waits. Throws kDeviceIo, with nothing of `bytes` accepted, when the
    /// queue cannot hold them (detail::CheckOutputRoom's words; at most
    /// kOutputQueueBytes are held) or when the descriptor
    /// fails ("write failed: <system reason>"; queued bytes then count lost).
    void Offer(std::string_view bytes);

    /// Waits, writing, until nothing is queued (true), `deadline` passes or
    /// `cancelFd` (-1: none) is readable (false; what is left stays queued),
    /// or the descriptor fails (false; the queued bytes count lost). The one
    /// wait of this class, for an explicit drain or a close.
    bool FlushUntil(Clock::time_point deadline, int cancelFd);

    /// Bytes accepted and not yet taken by the system.
    std::size_t Waiting() const { return queue_.size(); }
    /// The rest of the packet the system has taken part of (a copy; still
    /// queued), "" when the system holds no part packet.
    std::string StartedRest() const;
    /// Bytes accepted that a failed descriptor threw away since Start.
    std::size_t Lost() const { return lost_; }

private:
    enum class Wrote { kAll, kBlocked, kFailed };
    // Writes the front of `data` while the descriptor takes it; what went
    // out is erased. kFailed leaves the system's reason in errno_.
    Wrote WriteSome(std::string& data);
    // Writes the front of the queue, keeping its packets' bounds.
    Wrote WriteQueue();
    bool HasRoom() const;  // the descriptor can take bytes (or has failed)
    void Fail() noexcept;  // the descriptor failed: the queue is lost
    void OnWritable();
    void Watch();
    void Unwatch() noexcept;

    EventLoop& loop_;
    int fd_ = -1;
    bool socket_ = false;  // written with send(), which raises no SIGPIPE
    std::string queue_;
    // The bytes of each queued packet still to go, in order (they add up to
    // queue_.size()); the front one has started when headStarted_.
    std::deque<std::size_t> packets_;
    bool headStarted_ = false;
    std::size_t lost_ = 0;
    std::size_t lostPackets_ = 0;
    int errno_ = 0;
    EventLoop::Id watch_ = 0;
    EventLoop::Id retryTimer_ = 0;
};

}  // namespace vostrel::platform::detail
