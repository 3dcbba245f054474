// Writing the tool's output with write(2), keeping errno.
#include "tool/fd_output.hpp"

#include <unistd.h>

#include <cerrno>

namespace vostrel::tool {

FdStreamBuf::FdStreamBuf(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }

FdStreamBuf::~FdStreamBuf() { WriteOut(); }

bool FdStreamBuf::WriteOut() {
    const char* at = pbase();
    while (error_ == 0 && at < pptr()) {
        const ssize_t n = ::write(fd_, at, static_cast<std::size_t>(pptr() - at));
        if (n > 0)
            at += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            error_ = n < 0 ? errno : EIO;
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0;
}

FdStreamBuf::int_type FdStreamBuf::overflow(int_type c) {
    if (!WriteOut()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int FdStreamBuf::sync() { return WriteOut() ? 0 : -1; }

}  // namespace vostrel::tool
