// Brick to host over a pseudo-terminal: how many 12-byte mails a second
// reach the host, and what each costs the receiving thread in CPU time,
// against a bare poll/read loop on the same kind of pty (the floor, which
// only counts bytes). The far end writes the mails in 4 KiB writes (packets
// cut across writes) and, in a second case, one mail per write. Rounds take
// turns (floor, control, floor, ...) so a change in the machine's load
// touches both; the best round of each is printed, then the ratio of CPU
// per packet to the floor's.
//
// The far end runs on CPU 0 and the receiver on CPU 1 when there are two,
// as in the round-trip benchmark. The host's NewMail handler reads the
// text and counts; the run fails on a lost or wrong mail.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_args.hpp"
#include "testsupport/pty_pair.hpp"
#include "vostrel/platform.hpp"

using Clock = std::chrono::steady_clock;
using vostrel::testing::PtyPair;

namespace {

// "hello" to inbox 1, as a brick sends it.
const std::string kPacket = std::string("\x0A\x00\x80\x09\x01\x06hello\x00", 12);

void PinTo(int cpu) {
    if (std::thread::hardware_concurrency() < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set);
}

double ThreadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Result {
    double wallSeconds = 0;
    double cpuSeconds = 0;  // the receiving thread's
};

// Writes `packets` mails to `fd` in writes of `chunk` bytes (blocking).
void FarEnd(int fd, long long packets, std::size_t chunk) {
    PinTo(0);
    std::string stream;
    stream.reserve(chunk + kPacket.size());
    long long queued = 0;
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    while (queued < packets || !stream.empty()) {
        while (stream.size() < chunk && queued < packets) {
            stream += kPacket;
            ++queued;
        }
        const std::size_t n = std::min(chunk, stream.size());
        const ssize_t w = ::write(fd, stream.data(), n);
        if (w < 0) {
            std::perror("far end: write");
            std::exit(1);
        }
        stream.erase(0, static_cast<std::size_t>(w));
    }
}

// The floor: poll and read on the slave until every byte has come.
Result Floor(long long packets, std::size_t chunk) {
    PtyPair pty;
    const int slave = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) {
        std::perror("floor: cannot open the pty");
        std::exit(1);
    }
    PinTo(1);
    const std::size_t want = static_cast<std::size_t>(packets) * kPacket.size();
    std::size_t have = 0;
    const auto t0 = Clock::now();
    const double cpu0 = ThreadCpuSeconds();
    std::thread far([&] { FarEnd(pty.Master(), packets, chunk); });
    char buf[4096];
    while (have < want) {
        pollfd p{slave, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) {
            std::fprintf(stderr, "floor: nothing for 5 s\n");
            std::exit(1);
        }
        const ssize_t r = ::read(slave, buf, sizeof buf);
        if (r > 0) have += static_cast<std::size_t>(r);
    }
    Result result{std::chrono::duration<double>(Clock::now() - t0).count(),
                  ThreadCpuSeconds() - cpu0};
    far.join();
    ::close(slave);
    return result;
}

class CountingSink : public vostrel::EventSink {
public:
    CountingSink(vostrel::Vostrel& control, vostrel::platform::DefaultLoop& loop, long long want,
                 bool reads)
        : control_(control), loop_(loop), want_(want), reads_(reads) {}
    void NewMail(vostrel::Integer& box) override {
        vostrel::Integer b = box;
        if (reads_ && control_.ReadText(b) != std::string("hello\0", 6)) {
            std::fprintf(stderr, "control: a wrong mail\n");
            std::exit(1);
        }
        if (++mails == want_) loop_.stop();
    }
    long long mails = 0;

private:
    vostrel::Vostrel& control_;
    vostrel::platform::DefaultLoop& loop_;
    long long want_;
    bool reads_;
};

// The control on the default loop; its host's handler reads each mail, or
// (`reads` false) only counts it.
Result OnControl(long long packets, std::size_t chunk, bool reads) {
    PtyPair pty;
    vostrel::platform::DefaultLoop loop;
    vostrel::platform::PortMap ports;
    ports.Map(1, pty.SlavePath());
    auto nxt = vostrel::platform::MakeControl(loop, nullptr, ports);
    CountingSink sink(*nxt, loop, packets, reads);
    nxt->SetEventSink(&sink);
    if (nxt->ConnectNXT(1, 9600) != 0) {
        std::fprintf(stderr, "control: connect failed\n");
        std::exit(1);
    }
    pty.Read(8);  // the tone
    PinTo(1);
    const auto t0 = Clock::now();
    const double cpu0 = ThreadCpuSeconds();
    std::thread far([&] { FarEnd(pty.Master(), packets, chunk); });
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (sink.mails < packets && Clock::now() < deadline) loop.run_for(std::chrono::seconds(5));
    Result result{std::chrono::duration<double>(Clock::now() - t0).count(),
                  ThreadCpuSeconds() - cpu0};
    far.join();
    if (sink.mails != packets) {
        std::fprintf(stderr, "control: %lld of %lld mails\n", sink.mails, packets);
        std::exit(1);
    }
    nxt->DisconnectNXT();
    return result;
}

void Usage() {
    std::printf(
        "usage: platform_receive_bench [--packets N] [--rounds R]\n"
        "Brick-to-host mails over a pseudo-terminal, written in 4 KiB writes and one per\n"
        "write: a bare poll/read loop (the floor) and the control on the default loop (its\n"
        "host reading every mail, and only counting them), in R rounds that take turns; prints the "
        "best round's mails a second and the receiving\n"
        "thread's CPU time per million packets, and the control's CPU over the floor's.\n"
        "  --packets N  mails per round, 1000 to 100000000 (default 1000000 for 4 KiB\n"
        "               writes; a tenth of it one per write)\n"
        "  --rounds R   1 to 100 (default 5)\n"
        "Exit status: 0 done, 1 a lost or wrong mail or no pseudo-terminal, 2 bad usage.\n");
}

}  // namespace

int main(int argc, char** argv) {
    long long packets = 1000000, rounds = 5;
    for (int i = 1; i < argc; ++i) {
        if (vostrel::bench::IsHelp(argv[i])) {
            Usage();
            return 0;
        } else if (!std::strcmp(argv[i], "--packets")) {
            packets = vostrel::bench::CountArg(
                "--packets", vostrel::bench::OptionValue(argc, argv, i), 1000, 100000000);
        } else if (!std::strcmp(argv[i], "--rounds")) {
            rounds = vostrel::bench::CountArg("--rounds",
                                              vostrel::bench::OptionValue(argc, argv, i), 1, 100);
        } else {
            std::fprintf(stderr, "unknown option %s (--help)\n", argv[i]);
            return 2;
        }
    }
    if (!PtyPair().Ok()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    struct Writes {
        const char* name;
        std::size_t chunk;
        long long packets;
    };
    for (const Writes& w : {Writes{"4 KiB writes", 4096, packets},
                            Writes{"one mail per write", kPacket.size(), packets / 10}}) {
        std::vector<Result> floor, control, counting;
        for (long long r = 0; r < rounds; ++r) {
            floor.push_back(Floor(w.packets, w.chunk));
            control.push_back(OnControl(w.packets, w.chunk, true));
            counting.push_back(OnControl(w.packets, w.chunk, false));
        }
        const auto best = [](const std::vector<Result>& rs) {
            return *std::min_element(rs.begin(), rs.end(), [](const Result& a, const Result& b) {
                return a.cpuSeconds < b.cpuSeconds;
            });
        };
        const Result f = best(floor), c = best(control), n = best(counting);
        const double million = static_cast<double>(w.packets) / 1e6;
        std::printf("%s, %lld mails, best of %lld rounds:\n", w.name, w.packets, rounds);
        std::printf("  %-22s %6.2f M mails/s  CPU %7.1f ms per million packets\n",
                    "floor (poll/read)", million / f.wallSeconds, f.cpuSeconds * 1e3 / million);
        for (const auto& [name, r] :
             {std::pair{"control, host reads", c}, std::pair{"control, host counts", n}})
            std::printf(
                "  %-22s %6.2f M mails/s  CPU %7.1f ms per million packets  CPU/floor %.2f\n", name,
                million / r.wallSeconds, r.cpuSeconds * 1e3 / million, r.cpuSeconds / f.cpuSeconds);
    }
    return 0;
}
