// Keep-alive round trip over a pseudo-terminal: the far end sends the
// brick's keep-alive query, the control echoes it, the far end reads the
// echo. Measured beside a minimal poll/read/write echo on the same kind of
// pty (the floor), on the default loop and through the Asio adapter.
//
//   platform_roundtrip_bench [round-trips]   (default 10000)
//
// With VOSTREL_BENCH_WINE_ECHO set (bench/windows/run sets it), the same
// round trip also goes through the Windows build under Wine: the far end
// here, keepalive_echo.exe's control on a COM port of the Wine prefix mapped
// to the pty. Those figures are Wine's, not Windows's.
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
#include <functional>
#include <string>
#include <thread>
#include <vector>

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

// The far end: `n` queries, each timed until its whole echo has come back.
std::vector<double> FarEnd(int master, int n) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const auto t0 = Clock::now();
        if (::write(master, kQuery.data(), kQuery.size()) != static_cast<ssize_t>(kQuery.size())) {
            std::fprintf(stderr, "far end write failed\n");
            std::exit(1);
        }
        std::size_t got = 0;
        char buf[64];
        while (got < kEcho.size()) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) {
                std::fprintf(stderr, "no echo after 2 s (round trip %d)\n", i);
                std::exit(1);
            }
            const ssize_t r = ::read(master, buf, sizeof buf);
            if (r > 0) got += static_cast<std::size_t>(r);
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return us;
}

void Report(const char* name, std::vector<double> us, double floorP50) {
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
    std::printf("%-22s p50 %7.1f us  p99 %7.1f us  max %8.1f us", name, at(0.50), at(0.99),
                us.back());
    if (floorP50 > 0) std::printf("  p50/floor %.2f", at(0.50) / floorP50);
    std::printf("\n");
}

double P50(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return us[us.size() / 2];
}

// The floor: poll/read/write straight on the slave, answering each query
// with the echo bytes.
std::vector<double> Floor(int n) {
    PtyPair pty;
    const int slave = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
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
    pty.Read(8);  // the tone
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

// The round trip through the Windows build: keepalive_echo.exe under Wine
// (its prefix's server already running) on COM40, mapped to a fresh pty.
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
        std::fprintf(stderr, "keepalive_echo.exe did not connect\n");
        std::exit(1);
    }
    FarEnd(pty.Master(), 200);  // warm-up
    auto us = FarEnd(pty.Master(), n);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::unlink(link.c_str());
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (!PtyPair().Ok()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    std::printf("%d keep-alive round trips over a pty\n", n);
    PinTo(0);    // the far end of the floor runs here; the loops run here on CPU 1
    Floor(200);  // warm-up
    const auto floor = Floor(n);
    PinTo(1);
    const double f = P50(floor);
    Report("floor (poll/read/write)", floor, 0);

    vostrel::platform::DefaultLoop loop;
    Report("default loop",
           OnLoop(
               loop, [&] { loop.run(); }, [&] { loop.stop(); }, n),
           f);

#ifdef VOSTREL_BENCH_ASIO
    asio::io_context io;
    vostrel::platform::AsioLoop asioLoop(io);
    std::atomic<bool> farDone{false};
    Report("asio adapter",
           OnLoop(
               asioLoop,
               [&] {
                   // Keeps run() going while the far end is still busy.
                   while (!farDone.load()) {
                       io.restart();
                       io.run_for(std::chrono::milliseconds(100));
                   }
               },
               [&] { farDone.store(true); }, n),
           f);
#endif

    if (const char* echoExe = std::getenv("VOSTREL_BENCH_WINE_ECHO")) {
        const char* loader = std::getenv("VOSTREL_WINE_LOADER");
        const char* prefix = std::getenv("VOSTREL_WINE_PREFIX");
        if (loader == nullptr || prefix == nullptr) {
            std::fprintf(stderr, "VOSTREL_WINE_LOADER and VOSTREL_WINE_PREFIX must be set too\n");
            return 1;
        }
        PinTo(0);
        Report("Windows build, Wine", UnderWine(loader, prefix, echoExe, n), f);
    }
    return 0;
}
