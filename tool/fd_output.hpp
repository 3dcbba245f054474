// An output stream buffer on a file descriptor that keeps the system's
// reason when a write fails, so the tool can say why its output failed
// (a reader that went away, a full device).
#pragma once

#include <streambuf>
#include <string>

namespace vostrel::tool {

class FdStreamBuf : public std::streambuf {
public:
    /// Writes to `fd`, which stays owned by the caller.
    explicit FdStreamBuf(int fd);
    ~FdStreamBuf() override;
    FdStreamBuf(const FdStreamBuf&) = delete;
    FdStreamBuf& operator=(const FdStreamBuf&) = delete;

    /// Why the first failed write failed, in the system's words; "" while
    /// none failed. After a failure every write fails, so the stream
    /// reports it too.
    const std::string& Failure() const { return failure_; }

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    bool WriteOut();

    int fd_;
    std::string failure_;
    char buffer_[4096];
};

/// Thrown by a command that stops because its output cannot be written;
/// main then reports the FdStreamBuf's reason.
struct OutputFailed {};

}  // namespace vostrel::tool
