// The control's port on Linux: a tty or a Bluetooth link, by what the port
// number names.
#include "vostrel/platform.hpp"

namespace vostrel::platform {

Port::Port(EventLoop& loop, PortMap ports)
    : ports_(ports), serial_(loop, ports), bluetooth_(loop, std::move(ports)) {}

Port::~Port() = default;

const Comm& Port::Active() const {
    return brick_ ? static_cast<const Comm&>(bluetooth_) : static_cast<const Comm&>(serial_);
}
Comm& Port::Active() {
    return brick_ ? static_cast<Comm&>(bluetooth_) : static_cast<Comm&>(serial_);
}

void Port::CommPort(Integer port) {
    if (Active().PortOpen() == kTrue)
        throw Error(err::kPortOpen, "the port number cannot change while the port is open");
    const bool brick = !ports_.Target(port).brick.empty();
    if (brick)
        bluetooth_.CommPort(port);
    else
        serial_.CommPort(port);
    brick_ = brick;
    port_ = port;
}

void Port::Settings(const String& settings) {
    Active().Settings(settings);  // refuses a bad text with nothing changed
    (brick_ ? static_cast<Comm&>(serial_) : static_cast<Comm&>(bluetooth_)).Settings(settings);
}

void Port::PortOpen(Boolean open) {
    // The number's target may have been chosen before this port was made.
    if (open.IsTrue() && Active().PortOpen() != kTrue) CommPort(port_);
    Active().PortOpen(open);
}

void Port::OnComm(Handler handler) {
    serial_.OnComm(handler);
    bluetooth_.OnComm(std::move(handler));
}

bool Port::Drain(std::chrono::milliseconds timeout) {
    return brick_ ? bluetooth_.Drain(timeout) : serial_.Drain(timeout);
}

void Port::CancelWaitsOn(int fd) {
    serial_.CancelWaitsOn(fd);
    bluetooth_.CancelWaitsOn(fd);
}

}  // namespace vostrel::platform
