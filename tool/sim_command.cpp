// `vostrel sim`: a simulated brick until interrupted, narrating what it does.
#include <iostream>
#include <mutex>

#include "sim/wire.hpp"
#include "tool/commands.hpp"
#include "tool/event_output.hpp"
#include "tool/interrupts.hpp"

namespace vostrel::tool {

std::string Describe(const sim::BrickEvent& e) {
    using K = sim::BrickEvent::Kind;
    char status[8];
    std::snprintf(status, sizeof status, "%02X", e.status);
    switch (e.kind) {
        case K::Received:
            return "brick: inbox " + std::to_string(e.inbox) + " got \"" + Printable(sim::Readable(e.bytes)) +
                   "\"" + (e.status == 0 ? "" : std::string(" (refused, status ") + status + ")");
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
            return std::string("brick: sends ") + why + " \"" + Printable(sim::Readable(e.bytes + '\0')) +
                   "\" to mailbox " + std::to_string(e.inbox);
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

int RunSim(const SimOptions& options, std::ostream& out) {
    Interrupts interrupts;
    std::mutex outMutex;
    sim::SimulatedBrick brick(options.brick);
    {
        // The device line comes first; events wait for it, none is lost.
        std::lock_guard lock(outMutex);
        if (!options.quiet) {
            brick.SetObserver([&](const sim::BrickEvent& e) {
                std::lock_guard eventLock(outMutex);
                out << Describe(e) << std::endl;
            });
        }
        out << "device: " << brick.DevicePath() << std::endl;
    }
    interrupts.Wait();
    brick.SetObserver(nullptr);
    const sim::BrickStatus s = brick.Status();
    std::lock_guard lock(outMutex);
    out << "stopped: " << s.pingsSent << " keep-alive queries sent, " << s.pingAnswers << " answered" << std::endl;
    return 0;
}

}  // namespace vostrel::tool
