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
#include <cstdint>
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
    struct Interest {
        Key key;
        std::uint32_t events;  // EPOLLIN or EPOLLOUT
    };
    int ep = -1;
    std::map<Key, int> fdOf;
    std::map<int, std::vector<Interest>> keysOf;  // registered descriptors and their keys
    // Descriptors epoll refuses (regular files, /dev/null; a closed one):
    // reported ready on every wait, as poll() reports them.
    std::set<int> alwaysReady;
    std::vector<epoll_event> events = std::vector<epoll_event>(64);
    bool havePwait2 = true;

    // epoll holds one registration per descriptor: it asks for what any of
    // its keys wants.
    static std::uint32_t Wanted(const std::vector<Interest>& keys) {
        std::uint32_t mask = 0;
        for (const Interest& i : keys) mask |= i.events;
        return mask;
    }
    int Register(int op, int fd, std::uint32_t mask) {
        epoll_event ev{};
        ev.events = mask;  // hang-ups and errors are always reported
        ev.data.fd = fd;
        return ::epoll_ctl(ep, op, fd, &ev);
    }
};

DefaultLoop::Poller::Poller() : impl_(std::make_unique<Impl>()) {
    impl_->ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (impl_->ep < 0) Fail("cannot make the loop's epoll set", errno);
}

DefaultLoop::Poller::~Poller() { ::close(impl_->ep); }

void DefaultLoop::Poller::Add(int fd, Key key, bool writable) {
    Impl& p = *impl_;
    std::vector<Impl::Interest>& keys = p.keysOf[fd];
    const std::uint32_t want = writable ? EPOLLOUT : EPOLLIN;
    const std::uint32_t before = Impl::Wanted(keys);
    if (keys.empty() && fd >= 0) {
        // EEXIST: still registered for a key whose descriptor was closed
        // and its number reused before that key was removed.
        if (p.Register(EPOLL_CTL_ADD, fd, want) != 0 &&
            (errno != EEXIST || p.Register(EPOLL_CTL_MOD, fd, want) != 0)) {
            const int error = errno;
            if (error == EPERM || error == EBADF) {
                p.alwaysReady.insert(fd);
            } else {
                p.keysOf.erase(fd);
                Fail("cannot watch a descriptor", error);
            }
        }
    } else if (fd >= 0 && (before | want) != before && !p.alwaysReady.count(fd)) {
        if (p.Register(EPOLL_CTL_MOD, fd, before | want) != 0)
            Fail("cannot watch a descriptor", errno);
    }
    keys.push_back({key, want});
    p.fdOf[key] = fd;
}

void DefaultLoop::Poller::Remove(Key key) {
    Impl& p = *impl_;
    auto it = p.fdOf.find(key);
    if (it == p.fdOf.end()) return;
    const int fd = it->second;
    p.fdOf.erase(it);
    auto byFd = p.keysOf.find(fd);
    std::vector<Impl::Interest>& keys = byFd->second;
    const std::uint32_t before = Impl::Wanted(keys);
    keys.erase(std::find_if(keys.begin(), keys.end(),
                            [key](const Impl::Interest& i) { return i.key == key; }));
    if (!keys.empty()) {
        // Fails harmlessly when the descriptor was closed meanwhile.
        const std::uint32_t after = Impl::Wanted(keys);
        if (after != before && fd >= 0 && !p.alwaysReady.count(fd))
            p.Register(EPOLL_CTL_MOD, fd, after);
        return;
    }
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
        const epoll_event& ev = p.events[static_cast<std::size_t>(i)];
        auto it = p.keysOf.find(ev.data.fd);
        if (it == p.keysOf.end()) continue;
        // A hang-up or failure concerns every key; readiness only its own.
        const std::uint32_t failed = ev.events & (EPOLLHUP | EPOLLERR);
        for (const Impl::Interest& k : it->second)
            if (failed || (ev.events & k.events)) ready.push_back(k.key);
    }
    for (const int fd : p.alwaysReady)
        for (const Impl::Interest& k : p.keysOf[fd]) ready.push_back(k.key);
    // A full batch: more may be ready; the next wait returns them at once.
    if (n == max) p.events.resize(p.events.size() * 2);
    std::sort(ready.begin(), ready.end());
}

}  // namespace vostrel::platform
