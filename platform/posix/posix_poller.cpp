// The default loop's wait on systems without epoll: one ppoll over an array
// that is rebuilt only after Add or Remove. The system still looks at every
// descriptor on each wait.
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "platform/poller.hpp"

namespace vostrel::platform {

struct DefaultLoop::Poller::Impl {
    std::map<Key, pollfd> fdOf;  // ordered by key, so ready keys come out in key order
    std::vector<pollfd> fds;     // one entry per key, as fdOf
    std::vector<Key> keys;
    bool stale = true;
};

DefaultLoop::Poller::Poller() : impl_(std::make_unique<Impl>()) {}
DefaultLoop::Poller::~Poller() = default;

void DefaultLoop::Poller::Add(int fd, Key key, bool writable) {
    impl_->fdOf[key] = pollfd{fd, static_cast<short>(writable ? POLLOUT : POLLIN), 0};
    impl_->stale = true;
}

void DefaultLoop::Poller::Remove(Key key) {
    if (impl_->fdOf.erase(key) != 0) impl_->stale = true;
}

void DefaultLoop::Poller::Wait(const timespec* timeout, std::vector<Key>& ready) {
    Impl& p = *impl_;
    if (p.stale) {
        p.fds.clear();
        p.keys.clear();
        for (const auto& [key, entry] : p.fdOf) {
            p.fds.push_back(entry);
            p.keys.push_back(key);
        }
        p.stale = false;
    }
    ready.clear();
    const int n = ::ppoll(p.fds.data(), p.fds.size(), timeout, nullptr);
    if (n < 0) {
        if (errno == EINTR) return;
        throw Error(err::kDeviceIo, std::string("poll failed: ") + std::strerror(errno));
    }
    // Only as many entries are looked at as were ready.
    for (std::size_t i = 0, left = static_cast<std::size_t>(n); left > 0 && i < p.fds.size(); ++i) {
        if (p.fds[i].revents == 0) continue;
        --left;
        ready.push_back(p.keys[i]);
    }
}

}  // namespace vostrel::platform
