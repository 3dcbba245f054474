// The Windows side of the round-trip benchmark: a control on COM port N
// (under Wine, a pseudo-terminal the Linux-side benchmark maps) answering
// the brick's keep-alive queries, as every host's control does, until the
// far end hangs up. bench/platform/roundtrip_bench drives and times it.
//
//   keepalive_echo N
#include <cstdio>
#include <cstdlib>

#include "vostrel/platform.hpp"

namespace {
struct StopOnSilence : vostrel::EventSink {
    vostrel::platform::DefaultLoop* loop = nullptr;
    void NoPing() override { loop->stop(); }
};
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: keepalive_echo COM-NUMBER\n", stderr);
        return 2;
    }
    vostrel::platform::DefaultLoop loop;
    auto nxt = vostrel::platform::MakeControl(loop);
    StopOnSilence sink;
    sink.loop = &loop;
    nxt->SetEventSink(&sink);
    nxt->PingTimer().Interval(3000);  // ends 3 s after the far end stopped
    vostrel::Integer port = static_cast<vostrel::Integer>(std::atoi(argv[1]));
    if (nxt->ConnectNXT(port, 9600) != 0) {
        std::fprintf(stderr, "keepalive_echo: %s\n", nxt->ErrorMessage().c_str());
        return 1;
    }
    loop.run();
    nxt->DisconnectNXT();
    return 0;
}
