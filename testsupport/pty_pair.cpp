#include "testsupport/pty_pair.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vostrel::testing {

PtyPair::PtyPair(bool raw) {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        failure_ = std::string("openpty: ") + std::strerror(errno);
        master_ = slave_ = -1;
        return;
    }
    slavePath_ = name;
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (raw) {
        termios t{};
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
    }
}

PtyPair::~PtyPair() {
    if (slave_ >= 0) ::close(slave_);
    HangUp();
}

void PtyPair::Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else {
            throw std::runtime_error(std::string("pty write: ") + std::strerror(errno));
        }
    }
}

std::string PtyPair::Read(std::size_t n, std::chrono::milliseconds timeout) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
        char buf[4096];
        const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
        if (r > 0) {
            out.append(buf, static_cast<std::size_t>(r));
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (r < 0 && errno != EAGAIN) {
            // EIO while no slave is open: wait briefly for one.
            pollfd p{master_, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 5)));
            continue;
        }
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
    return out;
}

std::string PtyPair::ReadAvailable() {
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t r = ::read(master_, buf, sizeof buf);
        if (r > 0)
            out.append(buf, static_cast<std::size_t>(r));
        else if (r < 0 && errno == EINTR)
            continue;
        else
            return out;
    }
}

void PtyPair::HangUp() {
    if (master_ < 0) return;
    ::close(master_);
    master_ = -1;
}

}  // namespace vostrel::testing
