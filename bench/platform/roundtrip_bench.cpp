// Keep-alive round trip over a pseudo-terminal: the far end sends the
// brick's keep-alive query, the control echoes it, the far end reads the
// echo and checks it byte for byte. Measured beside a minimal
// poll/read/write echo on the same kind of pty (the floor), on the default
// loop and through the Asio adapter, in rounds that take turns (floor,
// default loop, Asio, floor, ...), so a change in the machine's load
// touches every case alike.
//
//   platform_roundtrip_bench [--trips N] [--rounds R]   (--help)
//
// With --wine (bench/windows/run passes it for each Windows build), the same
// round trip also goes through a Windows build under Wine: the far end here,
// on a COM port of the Wine prefix mapped to the pty, keepalive_floor.exe
// (plain Win32 with the port's read mode: that build's floor) and
// keepalive_echo.exe (the control), each compared with that floor. Those
// figures are Wine's, not Windows's.
//
// With two or more CPUs the far end runs on CPU 0 and the echoing side on
// CPU 1 in every case: otherwise where the scheduler happens to put the two
// threads (same core or not) moves p50 by 2x between runs, and the cases
// could not be compared.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_args.hpp"
#include "testsupport/pty_pair.hpp"
#include "vostrel/platform.hpp"
#ifdef VOSTREL_BENCH_ASIO
#include <asio/io_context.hpp>

#include "vostrel/asio_loop.hpp"
#endif

using Clock = std::chrono::steady_clock;
using vostrel::testing::PtyPair;

namespace {

void PinTo(int cpu) {
    if (std::thread::hardware_concurrency() < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set);
}

const std::string kQuery("\x06\x00\x80\x09\x00\x02?\x00", 8);
const std::string kEcho("\x06\x00\x80\x09\x00\x02!\x00", 8);

[[noreturn]] void Fail(const char* what, int trip) {
    std::fprintf(stderr, "%s (round trip %d)\n", what, trip);
    std::exit(1);
}

// The far end: `n` queries, each timed until its whole echo has come back;
// any byte that differs from the echo ends the program.
std::vector<double> FarEnd(int master, int n) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(n));
    char got[8];
    static_assert(sizeof got == 8, "one echo");
    for (int i = 0; i < n; ++i) {
        const auto t0 = Clock::now();
        if (::write(master, kQuery.data(), kQuery.size()) != static_cast<ssize_t>(kQuery.size()))
            Fail("far end write failed", i);
        std::size_t have = 0;
        while (have < kEcho.size()) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) Fail("no echo after 2 s", i);
            // No more than this echo: a surplus byte would be read as the
            // start of the next one, and fail there.
            const ssize_t r = ::read(master, got + have, kEcho.size() - have);
            if (r > 0) have += static_cast<std::size_t>(r);
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (std::memcmp(got, kEcho.data(), kEcho.size()) != 0) Fail("wrong echo bytes", i);
    }
    return us;
}

double Quantile(std::vector<double>& sorted, double q) {
    return sorted[static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1))];
}

// The figures of one case over all its rounds.
struct Case {
    std::string name;
    std::function<std::vector<double>(int)> run;  // n round trips
    std::size_t floor = 0;                        // the case it is compared with
    std::vector<double> us;
    std::vector<double> roundP50;

    void Add(std::vector<double> round) {
        us.insert(us.end(), round.begin(), round.end());
        std::sort(round.begin(), round.end());
        roundP50.push_back(Quantile(round, 0.5));
    }
    double Q(double q) {
        std::sort(us.begin(), us.end());
        return Quantile(us, q);
    }
    // `floorCase`: null for a floor itself.
    void Report(Case* floorCase) {
        std::sort(us.begin(), us.end());
        std::sort(roundP50.begin(), roundP50.end());
        std::printf("%-28s p50 %7.1f us  p99 %7.1f us  max %8.1f us  (round p50s %.1f to %.1f)",
                    name.c_str(), Q(0.50), Q(0.99), us.back(), roundP50.front(), roundP50.back());
        if (floorCase != nullptr)
            std::printf("  p50/floor %.2f  p99/floor %.2f", Q(0.50) / floorCase->Q(0.50),
                        Q(0.99) / floorCase->Q(0.99));
        std::printf("\n");
    }
};

// The floor: poll/read/write straight on the slave, answering each query
// with the echo bytes.
std::vector<double> Floor(int n) {
    PinTo(0);  // the far end runs on this thread
    PtyPair pty;
    const int slave = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) {
        std::perror("floor: cannot open the pty");
        std::exit(1);
    }
    std::atomic<bool> done{false};
    std::thread echo([&] {
        PinTo(1);
        char buf[64];
        std::size_t have = 0;
        while (!done.load()) {
            pollfd p{slave, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t r = ::read(slave, buf, sizeof buf);
            if (r <= 0) continue;
            have += static_cast<std::size_t>(r);
            for (; have >= kQuery.size(); have -= kQuery.size())
                [[maybe_unused]] ssize_t w = ::write(slave, kEcho.data(), kEcho.size());
        }
    });
    auto us = FarEnd(pty.Master(), n);
    done = true;
    echo.join();
    ::close(slave);
    return us;
}

std::vector<double> OnLoop(vostrel::platform::EventLoop& loop, const std::function<void()>& run,
                           const std::function<void()>& stop, int n) {
    PtyPair pty;
    vostrel::platform::PortMap ports;
    ports.Map(1, pty.SlavePath());
    auto nxt = vostrel::platform::MakeControl(loop, nullptr, ports);
    if (nxt->ConnectNXT(1, 9600) != 0) {
        std::fprintf(stderr, "connect failed\n");
        std::exit(1);
    }
    if (pty.Read(8).size() != 8) {  // the tone
        std::fprintf(stderr, "no tone after connecting\n");
        std::exit(1);
    }
    PinTo(1);  // the loop runs on this thread
    std::vector<double> us;
    std::thread far([&] {
        PinTo(0);
        us = FarEnd(pty.Master(), n);
        stop();
    });
    run();
    far.join();
    nxt->DisconnectNXT();
    return us;
}

// The round trip through a Windows program under Wine (its prefix's server
// already running) on COM40, mapped to a fresh pty; the program sends 8
// bytes (the control's tone) once it is ready.
std::vector<double> UnderWine(const std::string& loader, const std::string& prefix,
                              const std::string& echoExe, int n) {
    PtyPair pty;
    const std::string link = prefix + "/dosdevices/com40";
    ::unlink(link.c_str());
    if (::symlink(pty.SlavePath().c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "cannot map COM40 in %s\n", prefix.c_str());
        std::exit(1);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        PinTo(1);
        ::setenv("WINEPREFIX", prefix.c_str(), 1);
        ::setenv("WINEDEBUG", "-all", 1);
        ::execl(loader.c_str(), loader.c_str(), echoExe.c_str(), "40", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pty.Read(8, std::chrono::seconds(30)).size() != 8) {  // the tone: connected
        std::fprintf(stderr, "%s did not connect\n", echoExe.c_str());
        std::exit(1);
    }
    PinTo(0);  // the far end runs on this thread
    auto us = FarEnd(pty.Master(), n);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::unlink(link.c_str());
    return us;
}

void Usage() {
    std::printf(
        "usage: platform_roundtrip_bench [--trips N] [--rounds R] [--wine NAME LOADER PREFIX "
        "DIR]...\n"
        "Keep-alive round trips over a pseudo-terminal: a plain poll/read/write echo (the\n"
        "floor), the control on the default loop and on the Asio adapter (when built), in R\n"
        "rounds that take turns; prints p50, p99 and max per case. Every echo is checked.\n"
        "  --trips N    round trips per case, 1 to 10000000 (default 10000); a bare number\n"
        "               means the same\n"
        "  --rounds R   rounds the trips are spread over, 1 to 1000 and at most N (default 10)\n"
        "  --wine NAME LOADER PREFIX DIR\n"
        "               also the Windows build NAME under Wine (LOADER, its PREFIX with its\n"
        "               server running): DIR's keepalive_floor.exe (plain Win32, that\n"
        "               build's floor) and keepalive_echo.exe (the control); repeatable\n"
        "               (bench/windows/run passes them)\n"
        "Exit status: 0 done, 1 a wrong or missing echo or no pseudo-terminal, 2 bad usage.\n");
}

}  // namespace

int main(int argc, char** argv) {
    long long trips = 10000, rounds = 10;
    struct Wine {
        std::string name, loader, prefix, dir;
    };
    std::vector<Wine> wines;
    for (int i = 1; i < argc; ++i) {
        if (vostrel::bench::IsHelp(argv[i])) {
            Usage();
            return 0;
        } else if (!std::strcmp(argv[i], "--trips")) {
            trips = vostrel::bench::CountArg("--trips", vostrel::bench::OptionValue(argc, argv, i),
                                             1, 10000000);
        } else if (!std::strcmp(argv[i], "--rounds")) {
            rounds = vostrel::bench::CountArg("--rounds",
                                              vostrel::bench::OptionValue(argc, argv, i), 1, 1000);
        } else if (!std::strcmp(argv[i], "--wine")) {
            Wine w;
            for (std::string* field : {&w.name, &w.loader, &w.prefix, &w.dir})
                *field = vostrel::bench::OptionValue(argc, argv, i);
            wines.push_back(w);
        } else if (argv[i][0] != '-') {
            trips = vostrel::bench::CountArg("round trips", argv[i], 1, 10000000);
        } else {
            std::fprintf(stderr, "unknown option %s (--help)\n", argv[i]);
            return 2;
        }
    }
    if (rounds > trips) {
        std::fprintf(stderr, "--rounds (%lld) must not exceed the round trips (%lld)\n", rounds,
                     trips);
        return 2;
    }
    if (!PtyPair().Ok()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }

    vostrel::platform::DefaultLoop loop;
    std::vector<Case> cases;
    cases.push_back({"floor (poll/read/write)", [](int n) { return Floor(n); }, 0, {}, {}});
    cases.push_back({"default loop",
                     [&](int n) {
                         return OnLoop(
                             loop, [&] { loop.run(); }, [&] { loop.stop(); }, n);
                     },
                     0,
                     {},
                     {}});
#ifdef VOSTREL_BENCH_ASIO
    asio::io_context io;
    vostrel::platform::AsioLoop asioLoop(io);
    std::atomic<bool> farDone{false};
    cases.push_back({"asio adapter",
                     [&](int n) {
                         farDone.store(false);
                         return OnLoop(
                             asioLoop,
                             [&] {
                                 // Keeps run() going while the far end is still busy.
                                 while (!farDone.load()) {
                                     io.restart();
                                     io.run_for(std::chrono::milliseconds(100));
                                 }
                             },
                             [&] { farDone.store(true); }, n);
                     },
                     0,
                     {},
                     {}});
#endif

    for (const Wine& w : wines) {
        const std::size_t floor = cases.size();
        for (const char* program : {"keepalive_floor", "keepalive_echo"}) {
            const std::string exe = w.dir + "/" + program + ".exe";
            cases.push_back({w.name + (floor == cases.size() ? " Win32 floor" : " control"),
                             [w, exe](int n) { return UnderWine(w.loader, w.prefix, exe, n); },
                             floor,
                             {},
                             {}});
        }
    }

    std::printf("%lld keep-alive round trips per case over a pty, in %lld rounds taking turns\n",
                trips, rounds);
    for (auto& c : cases) c.run(200);  // warm-up, not counted
    for (long long r = 0; r < rounds; ++r) {
        // The trips spread evenly; the earlier rounds take the remainder.
        const int n = static_cast<int>(trips / rounds + (r < trips % rounds ? 1 : 0));
        for (auto& c : cases) c.Add(c.run(n));
    }
    for (std::size_t k = 0; k < cases.size(); ++k)
        cases[k].Report(cases[k].floor == k ? nullptr : &cases[cases[k].floor]);
    return 0;
}
