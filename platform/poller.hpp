// The default loop's wait on descriptors. Internal to the platform layer;
// one implementation per system: epoll where there is one (linux_poller.cpp),
// which keeps the descriptors registered between waits, so a wait costs the
// same however many of them sit idle; ppoll elsewhere (posix_poller.cpp).
#pragma once

#include <ctime>
#include <memory>
#include <vector>

#include "vostrel/platform.hpp"

namespace vostrel::platform {

class DefaultLoop::Poller {
public:
    using Key = std::uint64_t;

    /// Throws Error(err::kDeviceIo) when the system refuses.
    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    /// Reports `key` whenever `fd` is readable (`writable`: can take more
    /// bytes), has hung up or failed (level-triggered), until Remove. One descriptor may carry
    /// several keys. A descriptor the system cannot wait on (a regular file, /dev/null) counts as
    /// always readable, as poll() reports it; a negative one is never ready. Throws
    /// Error(err::kDeviceIo) when the system refuses for another reason (out of memory, a watch
    /// limit).
    void Add(int fd, Key key, bool writable = false);
    /// Stops reporting `key`; an unknown key is ignored.
    void Remove(Key key);
    /// Waits until a descriptor is ready or `timeout` has passed (nullptr:
    /// no limit) and replaces `ready` with the ready keys, in key order
    /// (empty when the time ran out or a signal came). Throws
    /// Error(err::kDeviceIo) when the wait fails.
    void Wait(const timespec* timeout, std::vector<Key>& ready);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vostrel::platform
