// The writer thread behind OutputWriter.
#include "tool/output_writer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vostrel::tool {

namespace {
void Signal(int fd) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &c, 1);
}

void Drain(int fd) {
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

void MakePipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
}
}  // namespace

// Shared with the thread, which may outlive the writer (see the destructor).
struct OutputWriter::State {
    int fd = -1;
    std::function<std::string(std::uint64_t)> droppedNotice;
    int wake[2] = {-1, -1};      // new lines or stop, for the thread
    int progress[2] = {-1, -1};  // a chunk was written, for Flush
    int failed[2] = {-1, -1};    // writing failed; never drained

    std::mutex mutex;
    std::string queue;        // lines not yet taken by the thread
    std::size_t pending = 0;  // bytes queued or being written
    std::uint64_t dropped = 0;
    bool writing = false;
    bool stop = false;
    std::string failure;

    ~State() {
        for (int* p : {wake, progress, failed})
            for (int i = 0; i < 2; ++i)
                if (p[i] >= 0) ::close(p[i]);
    }

    // Called with the mutex held.
    void Queue(const std::string& line) {
        queue += line;
        queue += '\n';
        pending += line.size() + 1;
    }
    void QueueNotice() {
        if (dropped == 0) return;
        Queue(droppedNotice(dropped));
        dropped = 0;
    }

    void Fail(int error) {
        {
            std::lock_guard lock(mutex);
            if (!failure.empty()) return;
            failure = std::strerror(error);
        }
        Signal(failed[1]);
        Signal(progress[1]);
    }

    // Writes all of `chunk`; false when writing failed.
    bool WriteAll(const std::string& chunk) {
        std::size_t done = 0;
        while (done < chunk.size()) {
            const ssize_t n = ::write(fd, chunk.data() + done, chunk.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Someone made the descriptor non-blocking: wait for room.
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, -1);
            } else {
                Fail(n < 0 ? errno : EIO);
                return false;
            }
        }
        return true;
    }

    void Run() {
        for (;;) {
            std::string chunk;
            {
                std::lock_guard lock(mutex);
                if (!failure.empty()) return;
                if (queue.empty() && stop) return;
                chunk.swap(queue);
                writing = !chunk.empty();
            }
            if (chunk.empty()) {
                // Idle: also notice a reader that goes away (a pipe whose
                // reader exited reports an error on its writing end).
                pollfd p[2] = {{wake[0], POLLIN, 0}, {fd, 0, 0}};
                if (::poll(p, 2, -1) < 0) continue;
                Drain(wake[0]);
                if (p[1].revents & POLLNVAL)
                    Fail(EBADF);
                else if (p[1].revents & (POLLERR | POLLHUP))
                    Fail(EPIPE);
                continue;
            }
            const bool ok = WriteAll(chunk);
            {
                std::lock_guard lock(mutex);
                writing = false;
                pending -= chunk.size();
            }
            Signal(progress[1]);
            if (!ok) return;
        }
    }
};

OutputWriter::OutputWriter(int fd, std::function<std::string(std::uint64_t)> droppedNotice)
    : state_(std::make_shared<State>()) {
    state_->fd = fd;
    state_->droppedNotice = std::move(droppedNotice);
    MakePipe(state_->wake);
    MakePipe(state_->progress);
    MakePipe(state_->failed);
    thread_ = std::thread([s = state_] { s->Run(); });
}

OutputWriter::~OutputWriter() {
    bool blocked = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->stop = true;
        // What was never flushed is dropped; a write under way may be held
        // by a reader that stopped reading.
        state_->pending -= state_->queue.size();
        state_->queue.clear();
        blocked = state_->writing;
    }
    Signal(state_->wake[1]);
    // A blocked thread keeps the state alive and ends with the process.
    if (blocked)
        thread_.detach();
    else
        thread_.join();
}

void OutputWriter::Line(const std::string& text) {
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->failure.empty()) return;
        if (state_->pending + text.size() + 1 > kMaxQueued) {
            ++state_->dropped;
            return;
        }
        state_->QueueNotice();
        state_->Queue(text);
    }
    Signal(state_->wake[1]);
}

int OutputWriter::FailedFd() const { return state_->failed[0]; }

std::string OutputWriter::Failure() const {
    std::lock_guard lock(state_->mutex);
    return state_->failure;
}

bool OutputWriter::Flush(int interruptFd, std::chrono::milliseconds afterInterrupt) {
    using Clock = std::chrono::steady_clock;
    {
        std::lock_guard lock(state_->mutex);
        state_->QueueNotice();
    }
    Signal(state_->wake[1]);
    Clock::time_point giveUpAt = Clock::time_point::max();
    for (;;) {
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->failure.empty()) return false;
            if (state_->pending == 0) return true;
        }
        int timeout = -1;
        if (giveUpAt != Clock::time_point::max()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(giveUpAt - Clock::now()).count();
            if (left <= 0) return false;
            timeout = static_cast<int>(left);
        }
        pollfd p[2] = {{state_->progress[0], POLLIN, 0}, {interruptFd, POLLIN, 0}};
        const nfds_t n = interruptFd >= 0 && giveUpAt == Clock::time_point::max() ? 2 : 1;
        if (::poll(p, n, timeout) < 0 && errno != EINTR) return false;
        Drain(state_->progress[0]);
        if (n == 2 && (p[1].revents & POLLIN)) giveUpAt = Clock::now() + afterInterrupt;
    }
}

void ComplainOnStderr(const std::string& text) {
    const std::string line = "vostrel: " + text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        pollfd p{STDERR_FILENO, POLLOUT, 0};
        if (::poll(&p, 1, 200) <= 0 || !(p.revents & POLLOUT)) return;
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

int FinishOutput(OutputWriter& writer, int interruptFd) {
    if (writer.Flush(interruptFd, std::chrono::milliseconds(300))) return 0;
    const std::string why = writer.Failure();
    ComplainOnStderr(why.empty() ? "standard output is not being read; its last lines are lost"
                                 : "cannot write standard output: " + why);
    return 1;
}

}  // namespace vostrel::tool
