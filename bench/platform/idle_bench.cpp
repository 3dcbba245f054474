// An idle link: connected, the far end silent, the watchdog ticking every
// 10 s. Reports the process's CPU time, the loop's wake-ups against the
// watchdog's ticks, and how far each tick (NoPing) fell from its due time.
//
//   platform_idle_bench [--seconds S]   (default 30; --help)
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_args.hpp"
#include "testsupport/pty_pair.hpp"
#include "vostrel/platform.hpp"

using Clock = std::chrono::steady_clock;

namespace {

double CpuMs() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

class Ticks : public vostrel::EventSink {
public:
    std::vector<Clock::time_point> at;
    void NoPing() override { at.push_back(Clock::now()); }
};

void Usage() {
    std::printf(
        "usage: platform_idle_bench [--seconds S]\n"
        "A connected control on the default loop whose far end (a pty) stays silent: prints\n"
        "the process's CPU time, the loop's wake-ups against the watchdog's ticks (one per\n"
        "10 s), and how far each tick fell from its due time.\n"
        "  --seconds S   how long to stay idle, 1 to 86400 (default 30); a bare number means\n"
        "                the same\n");
}

}  // namespace

int main(int argc, char** argv) {
    long long seconds = 30;
    for (int i = 1; i < argc; ++i) {
        if (vostrel::bench::IsHelp(argv[i])) {
            Usage();
            return 0;
        } else if (!std::strcmp(argv[i], "--seconds")) {
            seconds = vostrel::bench::CountArg(
                "--seconds", vostrel::bench::OptionValue(argc, argv, i), 1, 86400);
        } else if (argv[i][0] != '-') {
            seconds = vostrel::bench::CountArg("seconds", argv[i], 1, 86400);
        } else {
            std::fprintf(stderr, "unknown option %s (--help)\n", argv[i]);
            return 2;
        }
    }
    vostrel::testing::PtyPair pty;
    if (!pty.Ok()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    vostrel::platform::DefaultLoop loop;
    vostrel::platform::PortMap ports;
    ports.Map(1, pty.SlavePath());
    auto nxt = vostrel::platform::MakeControl(loop, nullptr, ports);
    Ticks ticks;
    nxt->SetEventSink(&ticks);
    if (nxt->ConnectNXT(1, 9600) != 0) {
        std::fprintf(stderr, "connect failed\n");
        return 1;
    }
    const auto armed = Clock::now();  // the watchdog counts from here
    pty.Read(8);                      // the tone

    const double cpu0 = CpuMs();
    const auto wake0 = loop.Wakeups();
    loop.run_for(std::chrono::seconds(seconds));
    const double cpu = CpuMs() - cpu0;
    const auto wakeups = loop.Wakeups() - wake0;

    std::printf("idle %lld s: CPU time %.2f ms, loop wake-ups %llu, watchdog ticks %zu\n", seconds,
                cpu, static_cast<unsigned long long>(wakeups), ticks.at.size());
    double worst = 0;
    for (std::size_t k = 0; k < ticks.at.size(); ++k) {
        const auto due = armed + std::chrono::milliseconds(vostrel::Vostrel::kWatchdogInterval) *
                                     static_cast<int>(k + 1);
        const double ms = std::chrono::duration<double, std::milli>(ticks.at[k] - due).count();
        worst = std::max(worst, std::fabs(ms));
        std::printf("  tick %zu: %+.3f ms from its due time\n", k + 1, ms);
    }
    std::printf("worst tick error %.3f ms\n", worst);
    nxt->DisconnectNXT();
    return 0;
}
