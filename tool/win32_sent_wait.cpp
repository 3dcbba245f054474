// Waiting for the COM port's driver to finish the writes it was given.
#include "tool/sent_wait.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::tool {

bool WaitUntilSent(Vostrel& control, std::chrono::milliseconds timeout) {
    auto* serial = dynamic_cast<platform::SerialPort*>(&control.Comm1());
    return serial == nullptr || serial->Drain(timeout);
}

}  // namespace vostrel::tool
