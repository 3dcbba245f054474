// The default loop's wait on Linux: an epoll set that holds the watched
// descriptors between waits, so a wait does not grow with the number of
// idle ones (a ppoll registers with and unregisters from every descriptor
// on each blocking wait). epoll_pwait2 keeps the nanosecond timeout ppoll
// had; on kernels without it the timeout is rounded up to whole
// milliseconds, never down, so a timer is not woken for early and spun on.
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "platform/poller.hpp"

namespace vostrel::platform {

namespace {

[[noreturn]] void Fail(const char* what, int error) {
    throw Error(err::kDeviceIo, std::string(what) + ": " + std::strerror(error));
}

}  // namespace

struct DefaultLoop::Poller::Impl {
    int ep = -1;
    std::map<Key, int> fdOf;
    std::map<int, std::vector<Key>> keysOf;  // registered descriptors and their keys
    // Descriptors epoll refuses (regular files, /dev/null; a closed one):
    // reported ready on every wait, as poll() reports them.
    std::set<int> alwaysReady;
    std::vector<epoll_event> events = std::vector<epoll_event>(64);
    bool havePwait2 = true;
};

DefaultLoop::Poller::Poller() : impl_(std::make_unique<Impl>()) {
    impl_->ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (impl_->ep < 0) Fail("cannot make the loop's epoll set", errno);
}

DefaultLoop::Poller::~Poller() { ::close(impl_->ep); }

void DefaultLoop::Poller::Add(int fd, Key key) {
    Impl& p = *impl_;
    std::vector<Key>& keys = p.keysOf[fd];
    if (keys.empty() && fd >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;  // hang-ups and errors are always reported
        ev.data.fd = fd;
        // EEXIST: still registered for a key whose descriptor was closed
        // and its number reused before that key was removed.
        if (::epoll_ctl(p.ep, EPOLL_CTL_ADD, fd, &ev) != 0 && errno != EEXIST) {
            const int error = errno;
            if (error == EPERM || error == EBADF) {
                p.alwaysReady.insert(fd);
            } else {
                p.keysOf.erase(fd);
                Fail("cannot watch a descriptor", error);
            }
        }
    }
    keys.push_back(key);
    p.fdOf[key] = fd;
}

void DefaultLoop::Poller::Remove(Key key) {
    Impl& p = *impl_;
    auto it = p.fdOf.find(key);
    if (it == p.fdOf.end()) return;
    const int fd = it->second;
    p.fdOf.erase(it);
    auto byFd = p.keysOf.find(fd);
    std::vector<Key>& keys = byFd->second;
    keys.erase(std::find(keys.begin(), keys.end(), key));
    if (!keys.empty()) return;
    p.keysOf.erase(byFd);
    // Fails harmlessly when the descriptor was closed first (the system
    // then dropped it from the set already).
    if (p.alwaysReady.erase(fd) == 0 && fd >= 0) ::epoll_ctl(p.ep, EPOLL_CTL_DEL, fd, nullptr);
}

void DefaultLoop::Poller::Wait(const timespec* timeout, std::vector<Key>& ready) {
    Impl& p = *impl_;
    ready.clear();
    static const timespec kNoWait{};
    if (!p.alwaysReady.empty()) timeout = &kNoWait;
    const int max = static_cast<int>(p.events.size());
    int n = -1;
    if (p.havePwait2) {
        n = ::epoll_pwait2(p.ep, p.events.data(), max, timeout, nullptr);
        if (n < 0 && errno == ENOSYS) p.havePwait2 = false;
    }
    if (!p.havePwait2) {
        int ms = -1;
        if (timeout) {
            const long long ns =
                static_cast<long long>(timeout->tv_sec) * 1000000000 + timeout->tv_nsec;
            ms = static_cast<int>(std::min<long long>((ns + 999999) / 1000000, 24 * 3600 * 1000));
        }
        n = ::epoll_wait(p.ep, p.events.data(), max, ms);
    }
    if (n < 0) {
        if (errno == EINTR) return;
        Fail("waiting for the loop's descriptors failed", errno);
    }
    for (int i = 0; i < n; ++i) {
        auto it = p.keysOf.find(p.events[static_cast<std::size_t>(i)].data.fd);
        if (it != p.keysOf.end()) ready.insert(ready.end(), it->second.begin(), it->second.end());
    }
    for (const int fd : p.alwaysReady) {
        const auto& keys = p.keysOf[fd];
        ready.insert(ready.end(), keys.begin(), keys.end());
    }
    // A full batch: more may be ready; the next wait returns them at once.
    if (n == max) p.events.resize(p.events.size() * 2);
    std::sort(ready.begin(), ready.end());
}

}  // namespace vostrel::platform
