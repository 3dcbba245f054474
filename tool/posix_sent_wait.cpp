// Waiting for the tty to carry out what was written.
#include <termios.h>

#include "tool/sent_wait.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::tool {

bool WaitUntilSent(Vostrel& control, std::chrono::milliseconds) {
    auto* serial = dynamic_cast<platform::SerialPort*>(&control.Comm1());
    if (serial == nullptr || serial->NativeHandle() < 0) return true;
    return ::tcdrain(serial->NativeHandle()) == 0;
}

}  // namespace vostrel::tool
