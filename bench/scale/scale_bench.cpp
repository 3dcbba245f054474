// Scale: one loop thread (the default loop) serving many controls, each on
// its own pseudo-terminal with its own simulated brick whose program sends
// keep-alive queries 10 times a second. Measures the echo latency (from the
// brick's query going out to the echo coming back, as the brick sees it)
// and the loop thread's CPU time per control.
//
//     scale_bench [--controls 64] [--seconds 20] [--in-step]
// The bricks start spread over the query period, as independent bricks
// are; --in-step starts them together, so every query of a period falls
// due at once (the worst case: the loop serves them one after the other).
// Prints the figures; exits 1 when a query went unanswered, a NoPing came,
// or p99 was 2 ms or more.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/simulated_brick.hpp"
#include "vostrel/platform.hpp"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double ThreadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// One brick's queries and the time each took to come back, kept on the
// brick's thread and read by the main thread.
struct Pings {
    std::mutex m;
    Clock::time_point sentAt{};
    bool waiting = false;
    bool measuring = false;
    std::vector<double> latenciesMs;
};

class Sink : public vostrel::EventSink {
public:
    std::atomic<int> noPings{0};
    std::atomic<int> mails{0};
    void NoPing() override { ++noPings; }
    void NewMail(vostrel::Integer&) override { ++mails; }
};

}  // namespace

int main(int argc, char** argv) {
    int controls = 64;
    double seconds = 20;
    bool inStep = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--in-step"))
            inStep = true;
        else if (!std::strcmp(argv[i], "--controls") && i + 1 < argc)
            controls = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else
            controls = 0;  // unknown: usage
    }
    if (controls < 1 || seconds <= 0) {
        std::fprintf(stderr, "usage: %s [--controls N] [--seconds S] [--in-step]\n", argv[0]);
        return 2;
    }

    // Declared first, so destroyed last: the bricks' threads record into
    // them until each brick has stopped.
    std::vector<std::unique_ptr<Pings>> pings;
    std::vector<std::unique_ptr<vostrel::sim::SimulatedBrick>> bricks;
    vostrel::platform::PortMap ports;
    for (int i = 0; i < controls; ++i) {
        vostrel::sim::BrickOptions o;
        o.program.pingEvery = 100ms;
        bricks.push_back(std::make_unique<vostrel::sim::SimulatedBrick>(o));
        pings.push_back(std::make_unique<Pings>());
        Pings& p = *pings.back();
        bricks.back()->SetObserver([&p](const vostrel::sim::BrickEvent& e) {
            using Kind = vostrel::sim::BrickEvent::Kind;
            const auto now = Clock::now();
            std::lock_guard lock(p.m);
            if (e.kind == Kind::Sent && e.sendWhy == vostrel::sim::ProgramSend::Why::Ping) {
                p.sentAt = now;
                p.waiting = true;
            } else if (e.kind == Kind::PingAnswered && p.waiting) {
                p.waiting = false;
                if (p.measuring)
                    p.latenciesMs.push_back(
                        std::chrono::duration<double, std::milli>(now - p.sentAt).count());
            }
        });
        ports.Map(static_cast<vostrel::Integer>(i + 1), bricks.back()->DevicePath());
        // Independent bricks keep their own time: spread their queries over
        // the period instead of having all of them fall due at once.
        if (!inStep) std::this_thread::sleep_for(std::chrono::microseconds(100000 / controls));
    }

    vostrel::platform::DefaultLoop loop;
    Sink sink;
    std::vector<std::unique_ptr<vostrel::Vostrel>> nxts;
    for (int i = 0; i < controls; ++i) {
        nxts.push_back(vostrel::platform::MakeControl(loop, nullptr, ports));
        nxts.back()->SetEventSink(&sink);
        if (nxts.back()->ConnectNXT(static_cast<vostrel::Integer>(i + 1), 9600) != 0) {
            std::fprintf(stderr, "control %d: %s\n", i, nxts.back()->ErrorMessage().c_str());
            return 1;
        }
    }

    // A second to settle, then measure.
    loop.run_for(1000ms);
    for (auto& p : pings) {
        std::lock_guard lock(p->m);
        p->measuring = true;
    }
    const double cpu0 = ThreadCpuSeconds(), process0 = ProcessCpuSeconds();
    const auto start = Clock::now();
    loop.run_for(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(seconds)));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = ThreadCpuSeconds() - cpu0, process = ProcessCpuSeconds() - process0;
    for (auto& p : pings) {
        std::lock_guard lock(p->m);
        p->measuring = false;
    }

    std::vector<double> all;
    int sent = 0, answered = 0, wrong = 0;
    for (int i = 0; i < controls; ++i) {
        std::lock_guard lock(pings[static_cast<std::size_t>(i)]->m);
        all.insert(all.end(), pings[static_cast<std::size_t>(i)]->latenciesMs.begin(),
                   pings[static_cast<std::size_t>(i)]->latenciesMs.end());
    }
    loop.run_for(200ms);  // the last queries' echoes
    for (auto& b : bricks) {
        const auto s = b->Status();
        sent += s.pingsSent;
        answered += s.pingAnswers;
        wrong += s.wrongAnswers;
    }
    for (auto& n : nxts) n->DisconnectNXT();
    if (all.empty()) {
        std::fprintf(stderr, "no keep-alive query was measured\n");
        return 1;
    }
    std::sort(all.begin(), all.end());
    auto at = [&](double q) {
        return all[std::min(all.size() - 1,
                            static_cast<std::size_t>(q * static_cast<double>(all.size())))];
    };

    std::printf(
        "scale: %d controls on one default loop, keep-alive queries every 100 ms (%s), %.1f s\n",
        controls, inStep ? "all at once" : "spread over the period", wall);
    std::printf(
        "  echoes measured: %zu (%.0f/s); queries sent %d, answered %d, wrong %d; NoPing %d\n",
        all.size(), static_cast<double>(all.size()) / wall, sent, answered, wrong,
        sink.noPings.load());
    std::printf("  echo latency ms: p50 %.3f  p90 %.3f  p99 %.3f  p99.9 %.3f  max %.3f\n", at(0.50),
                at(0.90), at(0.99), at(0.999), all.back());
    std::printf("  loop thread CPU: %.1f%% of a core, %.3f%% (%.1f us/s) per control\n",
                100 * cpu / wall, 100 * cpu / wall / controls, 1e6 * cpu / wall / controls);
    std::printf("  whole process (bricks included): %.1f%% of a core\n", 100 * process / wall);

    const bool ok =
        at(0.99) < 2.0 && sink.noPings.load() == 0 && wrong == 0 && sent - answered <= controls;
    std::printf(ok ? "scale: p99 under 2 ms, every query answered\n" : "scale: FAILED\n");
    return ok ? 0 : 1;
}
