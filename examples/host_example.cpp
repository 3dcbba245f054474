// A host without an event loop of its own: connect to the brick on
// /dev/rfcomm0 (or the tty given as the first argument), print every text
// the brick sends, and run until the brick has been silent for 10 seconds.
#include <iostream>

#include "vostrel/platform.hpp"

class Printer : public vostrel::EventSink {
public:
    Printer(vostrel::Vostrel*& nxt, vostrel::platform::DefaultLoop& loop) : nxt_(nxt), loop_(loop) {}
    void NewMail(vostrel::Integer& MailBox) override {
        std::cout << "mailbox " << MailBox << ": " << nxt_->ReadText(MailBox) << "\n";
    }
    void NoPing() override { loop_.stop(); }

private:
    vostrel::Vostrel*& nxt_;
    vostrel::platform::DefaultLoop& loop_;
};

int main(int argc, char** argv) {
    vostrel::platform::DefaultLoop loop;
    vostrel::platform::PortMap ports;
    if (argc > 1) ports.Map(0, argv[1]);

    auto nxt = vostrel::platform::MakeControl(loop, nullptr, ports);
    vostrel::Vostrel* control = nxt.get();
    Printer printer(control, loop);
    nxt->SetEventSink(&printer);

    if (nxt->ConnectNXT(0, 9600) != 0) {
        std::cerr << nxt->ErrorMessage() << "\n";
        return 1;
    }
    loop.run();
    nxt->DisconnectNXT();
    return 0;
}
