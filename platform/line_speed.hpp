// Setting and reading a tty's speed in bits/s, including speeds that have no
// standard termios constant (such as 14400). Internal to the platform layer.
#pragma once

namespace vostrel::platform::detail {

/// Sets input and output speed of the tty `fd`; false (errno set) on failure.
/// Leaves every other line setting as it is.
bool SetLineSpeed(int fd, long bitsPerSecond);
/// The tty's output speed in bits/s, or -1 (errno set) on failure.
long GetLineSpeed(int fd);

}  // namespace vostrel::platform::detail
