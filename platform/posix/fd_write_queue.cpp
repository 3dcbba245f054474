// The bounded write queue of a descriptor-based port.
#include "platform/posix/fd_write_queue.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/output_bound.hpp"

namespace vostrel::platform::detail {

bool Cancelled(int cancelFd) {
    if (cancelFd < 0) return false;
    pollfd p{cancelFd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

int SystemQueued(int fd) {
    int queued = 0;
    return ::ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

bool WaitForSystemQueue(int fd, std::chrono::steady_clock::time_point deadline, int cancelFd,
                        int (*queued)(int fd)) {
    for (;;) {
        if (queued(fd) <= 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pollfd p{cancelFd, POLLIN, 0};
        if (::poll(&p, cancelFd >= 0 ? 1 : 0, 1) > 0 && (p.revents & POLLIN)) return false;
    }
}

void FdWriteQueue::Start(int fd) {
    Stop();
    fd_ = fd;
    lost_ = 0;
    lostPackets_ = 0;
    int type = 0;
    socklen_t len = sizeof type;
    socket_ = ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0;
}

FdWriteQueue::Dropped FdWriteQueue::Stop() noexcept {
    Unwatch();
    lost_ += queue_.size();
    lostPackets_ += packets_.size();
    queue_.clear();
    packets_.clear();
    headStarted_ = false;
    fd_ = -1;
    const Dropped dropped{lost_, lostPackets_};
    lost_ = lostPackets_ = 0;
    return dropped;
}

std::string FdWriteQueue::StartedRest() const {
    return headStarted_ ? queue_.substr(0, packets_.front()) : std::string();
}

FdWriteQueue::Wrote FdWriteQueue::WriteQueue() {
    const std::size_t before = queue_.size();
    const Wrote result = WriteSome(queue_);
    for (std::size_t sent = before - queue_.size(); sent > 0;) {
        if (sent < packets_.front()) {
            packets_.front() -= sent;
            headStarted_ = true;
            break;
        }
        sent -= packets_.front();
        packets_.pop_front();
        headStarted_ = false;
    }
    return result;
}

FdWriteQueue::Wrote FdWriteQueue::WriteSome(std::string& data) {
    std::size_t done = 0;
    Wrote result = Wrote::kAll;
    while (done < data.size()) {
        const char* from = data.data() + done;
        const std::size_t size = data.size() - done;
        const ssize_t n =
            socket_ ? ::send(fd_, from, size, MSG_NOSIGNAL) : ::write(fd_, from, size);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            result = Wrote::kBlocked;
        } else {
            errno_ = n < 0 ? errno : EIO;
            result = Wrote::kFailed;
        }
        break;
    }
    data.erase(0, done);
    return result;
}

bool FdWriteQueue::HasRoom() const {
    pollfd p{fd_, POLLOUT, 0};
    return ::poll(&p, 1, 0) != 0;  // an error or a failure shows in the write
}

void FdWriteQueue::Fail() noexcept {
    lost_ += queue_.size();
    lostPackets_ += packets_.size();
    queue_.clear();
    packets_.clear();
    headStarted_ = false;
    Unwatch();
}

void FdWriteQueue::Offer(std::string_view bytes) {
    if (fd_ < 0) throw Error(err::kPortNotOpen, "the port is not open");
    const auto failed = [this] {
        Fail();
        return Error(err::kDeviceIo, std::string("write failed: ") + std::strerror(errno_));
    };
    // Earlier bytes go first; what the line took since the loop last looked
    // makes room before the new packet is measured. Only a descriptor that
    // says it has room is written: a write into a stalled pseudo-terminal
    // still costs the system work that delays every other line.
    if (!queue_.empty() && HasRoom() && WriteQueue() == Wrote::kFailed) throw failed();
    detail::CheckOutputRoom(queue_.size(), bytes.size());
    if (queue_.empty()) {
        std::string rest(bytes);
        if (WriteSome(rest) == Wrote::kFailed) throw failed();
        if (!rest.empty()) {
            headStarted_ = rest.size() < bytes.size();
            packets_.push_back(rest.size());
        }
        queue_ = std::move(rest);
    } else {
        queue_.append(bytes);
        if (!bytes.empty()) packets_.push_back(bytes.size());
    }
    if (queue_.empty())
        Unwatch();
    else
        Watch();
}

bool FdWriteQueue::FlushUntil(Clock::time_point deadline, int cancelFd) {
    for (;;) {
        const Wrote r = fd_ < 0 ? Wrote::kAll : WriteQueue();
        if (r == Wrote::kAll) {
            Unwatch();
            return true;
        }
        if (r == Wrote::kFailed) {
            Fail();
            return false;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p[2] = {{fd_, POLLOUT, 0}, {cancelFd, POLLIN, 0}};
        const int n = ::poll(p, cancelFd >= 0 ? 2 : 1, static_cast<int>(left));
        if (n < 0 && errno != EINTR) {
            errno_ = errno;
            Fail();
            return false;
        }
        if (n > 0 && (p[1].revents & POLLIN)) return false;  // cancelled
        // A failed descriptor shows when the next write fails.
    }
}

void FdWriteQueue::OnWritable() {
    const Wrote r = WriteQueue();
    if (r == Wrote::kAll) {
        Unwatch();
    } else if (r == Wrote::kFailed) {
        // The read side reports the hang-up; the close counts the loss.
        Fail();
    } else if (watch_ != 0) {
        // Said ready, yet took nothing: a hang-up the write did not show
        // would keep the loop spinning.
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) Fail();
    }
}

void FdWriteQueue::Watch() {
    if (watch_ != 0 || retryTimer_ != 0) return;
    watch_ = loop_.WatchWritable(fd_, [this] { OnWritable(); });
    if (watch_ == 0)
        retryTimer_ = loop_.StartTimer(loop_.Now() + kRetry, kRetry, [this] { OnWritable(); });
}

void FdWriteQueue::Unwatch() noexcept {
    if (watch_ != 0) loop_.Unwatch(watch_);
    if (retryTimer_ != 0) loop_.CancelTimer(retryTimer_);
    watch_ = 0;
    retryTimer_ = 0;
}

}  // namespace vostrel::platform::detail
