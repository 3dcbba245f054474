// A host without an event loop of its own: connect to the brick on
// /dev/rfcomm0 (or the tty given as the first argument, or on Linux the
// paired brick named after --brick), print every text the brick sends, and
// stop once the brick has been silent for 10 seconds.
#include <iostream>
#include <string>

#include "vostrel/platform.hpp"

struct Printer : vostrel::EventSink {
    vostrel::Vostrel* nxt = nullptr;
    vostrel::platform::DefaultLoop* loop = nullptr;

    void NewMail(vostrel::Integer& MailBox) override {
        // A text arrives with its closing NUL; c_str() stops there.
        std::cout << "mailbox " << MailBox << ": " << nxt->ReadText(MailBox).c_str() << "\n";
    }
    void NoPing() override { loop->stop(); }
};

int main(int argc, char** argv) {
    vostrel::platform::DefaultLoop loop;
    vostrel::platform::PortMap ports;  // port N is /dev/rfcommN by default
    if (argc > 2 && std::string(argv[1]) == "--brick")
        ports.MapBrick(0, argv[2]);  // a paired brick by name or address (Linux)
    else if (argc > 1)
        ports.Map(0, argv[1]);  // or any tty the host names

    auto nxt = vostrel::platform::MakeControl(loop, nullptr, ports);  // properties initialised
    Printer printer;
    printer.nxt = nxt.get();
    printer.loop = &loop;
    nxt->SetEventSink(&printer);

    if (nxt->ConnectNXT(0, 9600) != 0) {
        std::cerr << nxt->ErrorMessage() << "\n";
        return 1;
    }
    loop.run();  // received texts and the watchdog are delivered from here
    nxt->DisconnectNXT();
    return 0;
}
