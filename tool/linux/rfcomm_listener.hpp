// The simulated brick's side of Bluetooth: a listening RFCOMM socket on the
// brick's serial channel of this computer's adapters.
#pragma once

#include <string>

namespace vostrel::tool {

/// A host that connected: its socket (non-blocking, close-on-exec, the
/// caller's to close) and its address.
struct RfcommHost {
    int fd = -1;
    std::string address;
};

class RfcommListener {
public:
    /// Listens on channel 1 of every adapter. With `paired`, the kernel
    /// takes a host only over a paired, encrypted link, as the NXT does.
    /// Throws std::runtime_error with the system's reason.
    explicit RfcommListener(bool paired);
    ~RfcommListener();
    RfcommListener(const RfcommListener&) = delete;
    RfcommListener& operator=(const RfcommListener&) = delete;

    /// Readable when a host is waiting.
    int Fd() const { return fd_; }
    /// The waiting host; fd -1 when none was (or it left meanwhile).
    RfcommHost Accept();

private:
    int fd_ = -1;
};

}  // namespace vostrel::tool
