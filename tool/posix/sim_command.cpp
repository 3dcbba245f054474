// `vostrel sim`: a simulated brick until interrupted, narrating what it does.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "sim/wire.hpp"
#include "tool/commands.hpp"
#include "tool/event_output.hpp"
#include "tool/interrupts.hpp"
#include "tool/output_writer.hpp"

namespace vostrel::tool {

std::string Describe(const sim::BrickEvent& e) {
    using K = sim::BrickEvent::Kind;
    char status[8];
    std::snprintf(status, sizeof status, "%02X", e.status);
    switch (e.kind) {
        case K::Received:
            return "brick: inbox " + std::to_string(e.inbox) + " got \"" +
                   Printable(sim::Readable(e.bytes)) + "\"" +
                   (e.status == 0 ? "" : std::string(" (refused, status ") + status + ")");
        case K::Tone:
            return "brick: heard a tone of " + std::to_string(e.tone.frequency) + " Hz for " +
                   std::to_string(e.tone.durationMs) + " ms";
        case K::KeepAlive:
            return "brick: keep-alive command";
        case K::Unknown:
            return std::string("brick: unknown command, status ") + status;
        case K::Sent: {
            const char* why = e.sendWhy == sim::ProgramSend::Why::Ping         ? "keep-alive query"
                              : e.sendWhy == sim::ProgramSend::Why::Echo       ? "reply"
                              : e.sendWhy == sim::ProgramSend::Why::ToneReport ? "tone report"
                                                                               : "message";
            return std::string("brick: sends ") + why + " \"" +
                   Printable(sim::Readable(e.bytes + '\0')) + "\" to mailbox " +
                   std::to_string(e.inbox);
        }
        case K::PingAnswered:
            return "brick: keep-alive query answered";
        case K::SilenceBegins:
            return "brick: goes silent";
        case K::SilenceEnds:
            return "brick: speaks again";
        case K::HungUp:
            return "brick: hung up";
        case K::LineFailed:
            return "brick: the line failed";
    }
    return "brick: ?";
}

int RunSim(const SimOptions& options) {
    if (options.bluetooth) return RunBluetoothSim(options);
    Interrupts interrupts;
    // The brick's thread only queues its lines: a reader that stops reading
    // never holds it up.
    OutputWriter writer(STDOUT_FILENO, [](std::uint64_t count) {
        return "output: " + std::to_string(count) +
               " lines dropped while standard output was not read";
    });
    sim::SimulatedBrick brick(options.brick);
    writer.Line("device: " + brick.DevicePath());  // before any event
    if (!options.quiet)
        brick.SetObserver([&writer](const sim::BrickEvent& e) { writer.Line(Describe(e)); });
    // Until interrupted, or until the output cannot be written any more.
    pollfd waitFor[2] = {{interrupts.Fd(), POLLIN, 0}, {writer.FailedFd(), POLLIN, 0}};
    while (::poll(waitFor, 2, -1) <= 0) {
    }
    brick.SetObserver(nullptr);
    const sim::BrickStatus s = brick.Status();
    writer.Line("stopped: " + std::to_string(s.pingsSent) + " keep-alive queries sent, " +
                std::to_string(s.pingAnswers) + " answered");
    return FinishOutput(writer, interrupts.Fd());
}

}  // namespace vostrel::tool
