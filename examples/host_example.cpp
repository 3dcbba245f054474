// A host without an event loop of its own: connect to the brick on
// /dev/rfcomm0 (or the tty given as the first argument), print every text
// the brick sends, and stop once the brick has been silent for 10 seconds.
#include <iostream>

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
    vostrel::platform::PortMap ports;      // port N is /dev/rfcommN by default
    if (argc > 1) ports.Map(0, argv[1]);   // or any tty the host names;
                                           // ports.MapBrick(0, "NXT") a paired brick (Linux)

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
