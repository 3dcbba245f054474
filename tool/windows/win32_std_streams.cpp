// Standard streams on Windows: nothing to prepare. A process started
// without standard input gets no handle, whose read fails and is taken as
// end of input; a write to a pipe whose reader went away fails with an
// error (Windows has no SIGPIPE), reported with the system's own reason.
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/windows/win32_error.hpp"
#include "tool/std_streams.hpp"

namespace vostrel::tool {

namespace {
// The C library keeps the system's error of its last failed call (per
// thread) next to the errno it maps it to: both are cleared before a write,
// and the system's is the reason when there is one.
void Forget() {
    _doserrno = 0;
    errno = 0;
}
std::string Reason() {
    if (_doserrno != 0) return platform::detail::SystemErrorText(_doserrno);
    return errno != 0 ? std::strerror(errno) : "write failed";
}
}  // namespace

void PrepareStandardStreams() {}

std::string WriteAndFlush(std::FILE* stream, const std::string& bytes) {
    Forget();
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() &&
        std::fflush(stream) == 0)
        return {};
    return Reason();
}

std::string WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        Forget();
        const int n =
            ::_write(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, 1 << 30)));
        if (n <= 0) return Reason();
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace vostrel::tool
