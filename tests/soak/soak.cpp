// Soak: the simulated brick against the control over a pseudo-terminal for
// a set time, on the default loop. Texts flow both ways as fast as the link
// takes them (each way keeps a window of messages in flight), the brick's
// program sends keep-alive queries, and the brick's messages come split
// into pieces and joined several to a write at random. At the end every
// count must match: messages sent = messages received, in order and intact,
// every keep-alive answered, no NoPing, no failure, resident memory flat.
//
//     vostrel_soak [--seconds N] [--no-memory-check]
// Exit status 0 when every check held; the figures go to standard output.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulated_brick.hpp"
#include "sim/wire.hpp"
#include "tests/soak/resident_memory.hpp"
#include "tests/soak/soak_texts.hpp"
#include "vostrel/platform.hpp"

using namespace std::chrono_literals;
using vostrel::Integer;
using vostrel::soak::SoakText;
using Clock = std::chrono::steady_clock;

namespace {

constexpr Integer kPort = 1;
constexpr Integer kToBrick = 2;        // host -> brick texts
constexpr int kToHost = 3;             // brick -> host texts
constexpr std::uint64_t kWindow = 64;  // messages in flight each way

// Failures seen on any thread; the first few are printed at the end.
struct Failures {
    std::mutex m;
    std::vector<std::string> list;
    std::atomic<int> count{0};
    void Add(std::string what) {
        ++count;
        std::lock_guard lock(m);
        if (list.size() < 10) list.push_back(std::move(what));
    }
};

class Host : public vostrel::HostSite {
public:
    explicit Host(Failures& f) : failures_(f) {}
    bool UserMode() override { return true; }
    void PropertyChanged(std::string_view) override {}
    void UnhandledError(std::exception_ptr e) override {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            failures_.Add(std::string("unhandled error in a notification: ") + x.what());
        }
    }

private:
    Failures& failures_;
};

class Sink : public vostrel::EventSink {
public:
    Sink(Failures& f) : failures_(f) {}
    vostrel::Vostrel* control = nullptr;
    std::atomic<std::uint64_t> received{0};
    std::atomic<int> noPings{0};
    void NoPing() override { ++noPings; }
    void NewMail(Integer& MailBox) override {
        const std::string text = control->ReadText(MailBox);
        const std::uint64_t n = received.load();
        const std::string expected = SoakText('b', n) + std::string(1, '\0');
        if (MailBox != kToHost || text != expected) {
            failures_.Add("host got mailbox " + std::to_string(MailBox) + " text '" + text.c_str() +
                          "' instead of '" + expected.c_str() + "'");
        }
        received = n + 1;
    }

private:
    Failures& failures_;
};

struct Options {
    double seconds = 30;
    bool memoryCheck = true;
};

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
            o.seconds = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--no-memory-check")) {
            o.memoryCheck = false;
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--no-memory-check]\n", argv[0]);
            std::exit(2);
        }
    }
    if (o.seconds <= 0) o.seconds = 30;
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    Failures failures;

    vostrel::sim::BrickOptions brickOptions;
    brickOptions.program.pingEvery = 100ms;
    brickOptions.program.pingInbox = 0;
    brickOptions.program.pingText = "?soak?";
    vostrel::sim::SimulatedBrick brick(brickOptions);

    std::atomic<std::uint64_t> brickGot{0};
    brick.SetObserver([&](const vostrel::sim::BrickEvent& e) {
        if (e.kind != vostrel::sim::BrickEvent::Kind::Received) return;
        // Echoes of the keep-alive queries come into the ping inbox; the
        // brick's program counts those.
        if (e.inbox == brickOptions.program.pingInbox && e.status == 0 &&
            e.bytes.rfind('!', 0) == 0)
            return;
        const std::uint64_t n = brickGot.load();
        const std::string expected = SoakText('h', n) + std::string(1, '\0');
        if (e.status != 0 || e.inbox != kToBrick || e.bytes != expected)
            failures.Add("brick got inbox " + std::to_string(e.inbox) + " status " +
                         std::to_string(e.status) + " '" + e.bytes.c_str() + "' instead of '" +
                         expected.c_str() + "'");
        brickGot = n + 1;
    });

    vostrel::platform::DefaultLoop loop;
    Host host(failures);
    Sink sink(failures);
    vostrel::platform::PortMap ports;
    ports.Map(kPort, brick.DevicePath());
    auto control = vostrel::platform::MakeControl(loop, &host, ports);
    control->SetEventSink(&sink);
    sink.control = control.get();
    if (control->ConnectNXT(kPort, 9600) != 0) {
        std::fprintf(stderr, "ConnectNXT failed: %s\n", control->ErrorMessage().c_str());
        return 1;
    }

    // Host -> brick: as many as the window allows, every millisecond.
    std::uint64_t hostSent = 0;
    int sendFailures = 0;
    std::atomic<bool> sending{true};
    const auto sender = loop.StartTimer(loop.Now(), 1ms, [&] {
        while (sending && hostSent - brickGot.load() < kWindow) {
            Integer box = kToBrick;
            std::string text = SoakText('h', hostSent);
            if (control->SendText(box, text) != 0) {
                ++sendFailures;
                break;
            }
            ++hostSent;
        }
    });

    // Brick -> host, from the brick's side: single, split and joined writes.
    std::atomic<std::uint64_t> brickSent{0};
    std::atomic<bool> feeding{true};
    std::uint64_t singles = 0, splits = 0, joins = 0;
    std::thread feeder([&] {
        std::mt19937 rng(12345);
        while (feeding) {
            if (brickSent.load() - sink.received.load() >= kWindow) {
                std::this_thread::sleep_for(200us);
                continue;
            }
            const std::uint64_t n = brickSent.load();
            const int kind = static_cast<int>(rng() % 10);
            if (kind < 6) {
                brick.SendText(kToHost, SoakText('b', n));
                brickSent = n + 1;
                ++singles;
            } else if (kind < 8) {
                vostrel::sim::Delivery how;
                how.pieces = 2 + static_cast<int>(rng() % 6);
                how.gap = std::chrono::milliseconds(rng() % 2);
                brick.SendText(kToHost, SoakText('b', n), how);
                brickSent = n + 1;
                ++splits;
            } else {
                const std::uint64_t count = 2 + rng() % 4;
                std::vector<std::string> telegrams;
                for (std::uint64_t i = 0; i < count; ++i)
                    telegrams.push_back(
                        vostrel::sim::MessageTelegram(kToHost, SoakText('b', n + i)));
                brick.SendJoined(telegrams);
                brickSent = n + count;
                ++joins;
            }
        }
    });

    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.seconds));
    const auto warmUp =
        start + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(std::min(options.seconds * 0.2, 60.0)));
    std::size_t rssAtWarmUp = 0, rssMax = 0, rssStart = vostrel::soak::ResidentBytes();
    auto nextReport = start + 60s;
    while (Clock::now() < end) {
        loop.run_for(100ms);
        const std::size_t rss = vostrel::soak::ResidentBytes();
        if (Clock::now() >= warmUp) {
            if (rssAtWarmUp == 0) rssAtWarmUp = rss;
            rssMax = std::max(rssMax, rss);
        }
        if (Clock::now() >= nextReport) {
            nextReport += 60s;
            std::printf(
                "  %4.0f s: host sent %llu, brick got %llu; brick sent %llu, host got %llu; rss "
                "%zu KiB\n",
                std::chrono::duration<double>(Clock::now() - start).count(),
                static_cast<unsigned long long>(hostSent),
                static_cast<unsigned long long>(brickGot.load()),
                static_cast<unsigned long long>(brickSent.load()),
                static_cast<unsigned long long>(sink.received.load()), rss / 1024);
            std::fflush(stdout);
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    // Stop sending, then let everything in flight arrive.
    sending = false;
    feeding = false;
    feeder.join();
    loop.CancelTimer(sender);
    // The brick's program goes on asking while the rest drains, and on a slow
    // machine (memcheck) one query is nearly always in flight: every query
    // asked during the run must be answered, a later one may still travel.
    const int pingsAsked = brick.Status().pingsSent;
    const auto drainEnd = Clock::now() + 5s;
    vostrel::sim::BrickStatus status;
    auto drained = [&] {
        status = brick.Status();
        return brickGot.load() == hostSent && sink.received.load() == brickSent.load() &&
               status.pingAnswers + status.wrongAnswers >= pingsAsked;
    };
    while (!drained() && Clock::now() < drainEnd) loop.run_for(20ms);

    const std::uint64_t brickSentTotal = brickSent.load();
    std::printf("soak: %.1f s over %s\n", elapsed, brick.DevicePath().c_str());
    std::printf("  host -> brick: %llu sent, %llu received (%.0f messages/s)\n",
                static_cast<unsigned long long>(hostSent),
                static_cast<unsigned long long>(brickGot.load()),
                static_cast<double>(hostSent) / elapsed);
    std::printf(
        "  brick -> host: %llu sent (%llu single, %llu split, %llu joined writes), %llu received "
        "(%.0f messages/s)\n",
        static_cast<unsigned long long>(brickSentTotal), static_cast<unsigned long long>(singles),
        static_cast<unsigned long long>(splits), static_cast<unsigned long long>(joins),
        static_cast<unsigned long long>(sink.received.load()),
        static_cast<double>(brickSentTotal) / elapsed);
    std::printf("  keep-alive queries: %d sent, %d answered, %d wrong; NoPing %d\n",
                status.pingsSent, status.pingAnswers, status.wrongAnswers, sink.noPings.load());
    std::printf("  bytes: %llu to the brick, %llu from it, %llu dropped by the brick\n",
                static_cast<unsigned long long>(status.bytesIn),
                static_cast<unsigned long long>(status.bytesOut),
                static_cast<unsigned long long>(status.bytesDropped));
    std::printf(
        "  resident memory: %zu KiB at start, %zu KiB after warm-up, %zu KiB at most after it\n",
        rssStart / 1024, rssAtWarmUp / 1024, rssMax / 1024);

    int bad = 0;
    auto check = [&](bool ok, const char* what) {
        if (!ok) {
            std::printf("FAILED: %s\n", what);
            ++bad;
        }
    };
    check(hostSent > 0 && brickSentTotal > 0, "messages flowed both ways");
    check(brickGot.load() == hostSent, "every message the host sent reached the brick");
    check(sink.received.load() == brickSentTotal, "every message the brick sent reached the host");
    check(sendFailures == 0, "every SendText succeeded");
    check(status.pingsSent >= static_cast<int>(elapsed * 5), "keep-alive queries kept coming");
    check(status.pingAnswers >= pingsAsked && status.pingAnswers <= status.pingsSent &&
              status.wrongAnswers == 0,
          "every keep-alive query was answered, correctly");
    check(sink.noPings.load() == 0, "no NoPing while traffic flowed");
    check(status.bytesDropped == 0 && !status.hungUp, "the line lost nothing");
    check(failures.count.load() == 0, "no message arrived wrong and no notification failed");
    if (options.memoryCheck) {
        // Growth allowed after warm-up: allocator slack, not a leak per message.
        const std::size_t allowed = 2 * 1024 * 1024;
        check(rssMax <= rssAtWarmUp + allowed, "resident memory stayed flat after warm-up");
    }
    for (const auto& f : failures.list) std::printf("  %s\n", f.c_str());
    control->DisconnectNXT();
    std::printf(bad ? "soak: FAILED\n" : "soak: all checks held\n");
    return bad ? 1 : 0;
}
