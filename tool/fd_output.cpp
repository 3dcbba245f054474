// Writing the tool's output to a descriptor, keeping the system's reason.
#include "tool/fd_output.hpp"

#include "tool/std_streams.hpp"

namespace vostrel::tool {

FdStreamBuf::FdStreamBuf(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }

FdStreamBuf::~FdStreamBuf() { WriteOut(); }

bool FdStreamBuf::WriteOut() {
    if (failure_.empty() && pptr() > pbase())
        failure_ = WriteAll(fd_, pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(buffer_, buffer_ + sizeof buffer_);
    return failure_.empty();
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
