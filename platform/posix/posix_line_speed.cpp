// Line speed on POSIX systems other than Linux, where speed_t is the speed
// in bits/s itself (the BSDs, macOS), through the standard calls.
#include <termios.h>

#include "platform/line_speed.hpp"

namespace vostrel::platform::detail {

bool SetLineSpeed(int fd, long bitsPerSecond) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    if (::cfsetispeed(&t, static_cast<speed_t>(bitsPerSecond)) != 0) return false;
    if (::cfsetospeed(&t, static_cast<speed_t>(bitsPerSecond)) != 0) return false;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

long GetLineSpeed(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return -1;
    return static_cast<long>(::cfgetospeed(&t));
}

}  // namespace vostrel::platform::detail
