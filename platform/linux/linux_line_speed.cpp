// Line speed on Linux through termios2, which takes any speed as a number
// (BOTHER) instead of a standard constant. Kept apart because the kernel's
// termios2 header cannot share a translation unit with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "platform/line_speed.hpp"

namespace vostrel::platform::detail {

bool SetLineSpeed(int fd, long bitsPerSecond) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
    t.c_cflag &= ~(CBAUD << IBSHIFT);  // input speed follows the output speed
    t.c_cflag |= BOTHER << IBSHIFT;
    t.c_ispeed = static_cast<speed_t>(bitsPerSecond);
    t.c_ospeed = static_cast<speed_t>(bitsPerSecond);
    return ::ioctl(fd, TCSETS2, &t) == 0;
}

long GetLineSpeed(int fd) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return -1;
    return static_cast<long>(t.c_ospeed);
}

}  // namespace vostrel::platform::detail
