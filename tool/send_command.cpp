// `vostrel send`: connect, send one message, disconnect.
#include "tool/commands.hpp"
#include "tool/port_argument.hpp"
#include "tool/sent_wait.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::tool {

int RunSend(const SendOptions& o, std::ostream& out) {
    PortChoice port = ResolvePort(o.link.port);
    platform::DefaultLoop loop;
    auto control = platform::MakeControl(loop, nullptr, port.map);
    if (control->ConnectNXT(port.number, o.link.baud) != 0) {
        out << control->ErrorMessage() << '\n';
        return 1;
    }
    Integer mailbox = o.mailbox;
    const Integer result = o.text ? control->SendText(mailbox, *o.text) : control->SendValue(mailbox, *o.number);
    const String status = control->ErrorMessage();
    // Let the line carry the bytes out before the port closes.
    WaitUntilSent(*control, std::chrono::seconds(2));
    const Integer closed = control->DisconnectNXT();
    out << status << '\n';
    if (closed != 0) out << control->ErrorMessage() << '\n';
    return result == 0 && closed == 0 ? 0 : 1;
}

}  // namespace vostrel::tool
