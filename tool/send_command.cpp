// `vostrel send`: connect, send one message, disconnect.
#include <chrono>
#include <iostream>

#include "tool/commands.hpp"
#include "tool/failure_report.hpp"
#include "tool/interrupts.hpp"
#include "tool/port_argument.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::tool {

namespace {
// How long the packet may take to leave once the control accepted it.
constexpr std::chrono::milliseconds kLeaveTimeout{5000};
}  // namespace

int RunSend(const SendOptions& o, std::ostream& out) {
    PortChoice port = ResolvePort(o.link.port);
    // An interrupt waits for the port to close, so the line gets its
    // settings back.
    Interrupts interrupts;
    platform::DefaultLoop loop;
    auto control = platform::MakeControl(loop, nullptr, port.map);
    platform::LinePort& line = platform::LinePortOf(*control);
    // An interrupt ends every wait for the line at once (the wait for the
    // packet to leave, the close's grace); the port is still closed and its
    // line settings put back.
    line.CancelWaitsOn(interrupts.Signal());
    if (control->ConnectNXT(port.number, o.link.baud) != 0) {
        ReportFailure(std::cerr, *control);
        return 1;
    }
    Integer mailbox = o.mailbox;
    const Integer result =
        o.text ? control->SendText(mailbox, *o.text) : control->SendValue(mailbox, *o.number);
    if (result != 0) ReportFailure(std::cerr, *control);
    const String status = control->ErrorMessage();
    // The control has accepted the packet, but a slow line may leave part of
    // it in this program: it has gone out only once the port holds none of it.
    bool left = true;
    if (result == 0) {
        left = line.Drain(kLeaveTimeout);
        if (!left && interrupts.Pending())
            std::cerr << "vostrel: interrupted before the packet left" << std::endl;
        // A Bluetooth link that did not come up (or fell) says why.
        else if (!left && !line.LinkFailure().empty())
            std::cerr << "Connection error: " << line.LinkFailure() << std::endl;
        else if (!left)
            std::cerr << "vostrel: the packet did not leave within " << kLeaveTimeout.count()
                      << " ms" << std::endl;
    }
    const Integer closed = control->DisconnectNXT();
    if (closed != 0) ReportFailure(std::cerr, *control);
    if (result == 0 && left && closed == 0) out << status << '\n';
    return result == 0 && left && closed == 0 ? 0 : 1;
}

}  // namespace vostrel::tool
