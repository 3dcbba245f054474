// Standard streams on Windows: nothing to prepare. A process started
// without standard input gets no handle, whose read fails and is taken as
// end of input; a write to a pipe whose reader went away fails with an
// error (Windows has no SIGPIPE), reported with the system's own reason.
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/win32_error.hpp"
#include "tool/std_streams.hpp"

namespace vostrel::tool {

void PrepareStandardStreams() {}

std::string WriteAndFlush(std::FILE* stream, const std::string& bytes) {
    // The C library keeps the system's error of its last failed call
    // (per thread) next to the errno it maps it to.
    _doserrno = 0;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() &&
        std::fflush(stream) == 0)
        return {};
    if (_doserrno != 0) return platform::detail::SystemErrorText(_doserrno);
    return errno != 0 ? std::strerror(errno) : "write failed";
}

std::string WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        _doserrno = 0;
        errno = 0;
        const int n =
            ::_write(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, 1 << 30)));
        if (n <= 0) {
            if (_doserrno != 0) return platform::detail::SystemErrorText(_doserrno);
            return errno != 0 ? std::strerror(errno) : "write failed";
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace vostrel::tool
