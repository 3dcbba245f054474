// Standard streams on POSIX: descriptors the tool was started without are
// held on /dev/null, and a reader that went away is a failed write.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tool/std_streams.hpp"

namespace vostrel::tool {

namespace {
// Why the write that just failed failed.
std::string Reason() { return errno != 0 ? std::strerror(errno) : "write failed"; }
}  // namespace

void PrepareStandardStreams() {
    // Descriptors 0 to 2 that the tool was started without are held open on
    // /dev/null, so a pipe or device the tool opens never takes their place:
    // a closed standard input reads as end of input, and a write to a closed
    // standard output fails (it is open for reading only).
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
    // A reader that went away is a failed write, reported, not a silent death.
    ::signal(SIGPIPE, SIG_IGN);
}

std::string WriteAndFlush(std::FILE* stream, const std::string& bytes) {
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() &&
        std::fflush(stream) == 0)
        return {};
    return Reason();
}

std::string WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 ? Reason() : "write failed";
        }
    }
    return {};
}

}  // namespace vostrel::tool
