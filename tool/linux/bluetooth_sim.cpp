// `vostrel sim --bluetooth`: the simulated brick on RFCOMM channel 1 of
// this computer's adapters, for one host at a time, as the NXT serves.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>

#include "sim/simulated_brick.hpp"
#include "tool/commands.hpp"
#include "tool/interrupts.hpp"
#include "tool/linux/rfcomm_listener.hpp"
#include "tool/output_writer.hpp"

namespace vostrel::tool {

namespace {

// Readable once the brick's host has left (written from the brick's thread).
class LeftSignal {
public:
    LeftSignal() {
        if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error("cannot make a pipe");
    }
    ~LeftSignal() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    LeftSignal(const LeftSignal&) = delete;
    LeftSignal& operator=(const LeftSignal&) = delete;
    int Fd() const { return fds_[0]; }
    void Raise() {
        const char c = 1;
        [[maybe_unused]] const ssize_t n = ::write(fds_[1], &c, 1);
    }
    void Clear() {
        char buf[16];
        while (::read(fds_[0], buf, sizeof buf) > 0) {
        }
    }

private:
    int fds_[2] = {-1, -1};
};

}  // namespace

int RunBluetoothSim(const SimOptions& options) {
    Interrupts interrupts;
    OutputWriter writer(STDOUT_FILENO, [](std::uint64_t count) {
        return "output: " + std::to_string(count) +
               " lines dropped while standard output was not read";
    });
    const bool paired = !options.anyHost;
    std::unique_ptr<RfcommListener> listener;
    std::unique_ptr<sim::SimulatedBrick> brick;
    std::string host;
    int pingsSent = 0, pingAnswers = 0;
    LeftSignal left;
    std::string failure;
    try {
        listener = std::make_unique<RfcommListener>(paired);
        writer.Line(std::string("bluetooth: RFCOMM channel 1, ") +
                    (paired ? "paired hosts only" : "any host"));  // before any event
        for (;;) {
            pollfd waitFor[3] = {{interrupts.Fd(), POLLIN, 0},
                                 {writer.FailedFd(), POLLIN, 0},
                                 {brick ? left.Fd() : listener->Fd(), POLLIN, 0}};
            if (::poll(waitFor, 3, -1) <= 0) continue;
            if (waitFor[0].revents || waitFor[1].revents) break;
            if (!brick) {
                RfcommHost h = listener->Accept();
                if (h.fd < 0) continue;
                // One host at a time: while it is served, nothing listens,
                // so another host's connect is refused as the brick's is.
                listener.reset();
                host = h.address;
                if (!options.quiet) writer.Line("host: " + host + " connected");
                sim::BrickOptions b = options.brick;
                b.line = h.fd;
                b.device = host;
                brick = std::make_unique<sim::SimulatedBrick>(b);
                brick->SetObserver([&](const sim::BrickEvent& e) {
                    using K = sim::BrickEvent::Kind;
                    if (e.kind == K::LineFailed || e.kind == K::HungUp) left.Raise();
                    if (!options.quiet && e.kind != K::LineFailed) writer.Line(Describe(e));
                });
                continue;
            }
            left.Clear();
            const sim::BrickStatus s = brick->Status();
            if (!s.hungUp) continue;
            brick.reset();
            pingsSent += s.pingsSent;
            pingAnswers += s.pingAnswers;
            if (!options.quiet) writer.Line("host: " + host + " left");
            listener = std::make_unique<RfcommListener>(paired);
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (brick) {
        brick->SetObserver(nullptr);
        const sim::BrickStatus s = brick->Status();
        pingsSent += s.pingsSent;
        pingAnswers += s.pingAnswers;
        brick.reset();
    }
    if (!failure.empty()) {
        ComplainOnStderr("cannot serve the brick over Bluetooth: " + failure);
        return 1;
    }
    writer.Line("stopped: " + std::to_string(pingsSent) + " keep-alive queries sent, " +
                std::to_string(pingAnswers) + " answered");
    return FinishOutput(writer, interrupts.Fd());
}

}  // namespace vostrel::tool
