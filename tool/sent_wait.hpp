// Waiting until what the control wrote has left the program, before a
// command closes the port. One file per system: posix_sent_wait.cpp,
// win32_sent_wait.cpp.
#pragma once

#include <chrono>

#include "vostrel/vostrel.hpp"

namespace vostrel::tool {

/// Waits up to `timeout` until every byte the control's serial port
/// accepted has left for the line. False when some had not; true also when
/// the port is closed or is not the platform's serial port.
bool WaitUntilSent(Vostrel& control, std::chrono::milliseconds timeout);

}  // namespace vostrel::tool
