// Fuzz target: the control's receive path, fed arbitrary byte streams in
// arbitrary reads through an in-memory serial port. Beyond "no crash" it
// checks, after every read:
//  * every text filed and every echo written is exactly what the framing
//    rules say (receive_model.hpp), in order, and nothing else is;
//  * after garbage, every well-formed packet that begins after the last byte
//    of garbage is delivered once the stream is back in step: at the start,
//    after a watchdog interval of silence, after a packet taken whole, and
//    after a single header no brick sends that follows one of those, the
//    next well-formed packet is taken, and so is each one adjacent to it;
//  * every filed text lies whole in the bytes received (no slot ever holds
//    bytes that did not come down the line), and no slot changes unannounced;
//  * failures inside a notification reach the host's UnhandledError, one per
//    failed packet, and cost no other packet;
//  * the watchdog is running again, the status text and Connection untouched;
//  * the heap the control holds stays within a fixed bound, however long the
//    stream.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/heap_in_use.hpp"
#include "fuzz/receive_model.hpp"
#include "fuzz/receive_plan.hpp"
#include "testsupport/memory_comm.hpp"
#include "testsupport/memory_timer.hpp"
#include "vostrel/vostrel.hpp"

namespace {

using vostrel::fuzz::Action;

// A partial packet in the model and the control, allowing for string
// growth, plus the odd small allocation.
constexpr std::size_t kHeapBound = 8 * 1024;
// The received bytes a filed text can come from: the current read and this
// many before it (more than the longest packet).
constexpr std::size_t kRecent = 1024;

struct Log {
    std::vector<Action> actions;
};

class LoggingComm : public vostrel::testing::MemoryComm {
public:
    explicit LoggingComm(Log& log) : log_(log) {}
    int failWrites = 0;
    void Output(const vostrel::String& bytes) override {
        if (failWrites > 0 && PortOpen() == vostrel::kTrue) {
            --failWrites;
            throw vostrel::Error(vostrel::err::kDeviceIo, "injected write failure");
        }
        MemoryComm::Output(bytes);
        log_.actions.push_back({Action::Written, -1, bytes});
    }

private:
    Log& log_;
};

class Host : public vostrel::HostSite {
public:
    explicit Host(Log& log) : log_(log) {}
    bool UserMode() override { return true; }
    void PropertyChanged(std::string_view) override {}
    void UnhandledError(std::exception_ptr) override {
        log_.actions.push_back({Action::Failed, -1, {}});
    }

private:
    Log& log_;
};

class Sink : public vostrel::EventSink {
public:
    Sink(Log& log) : log_(log) {}
    vostrel::Vostrel* control = nullptr;
    int failures = 0;
    void NewMail(vostrel::Integer& MailBox) override {
        if (MailBox < 0 || MailBox > 9) Fail("NewMail outside 0 to 9");
        // Taking the text here also proves the slot is filled before the event.
        log_.actions.push_back({Action::Filed, MailBox, control->ReadText(MailBox)});
        if (failures > 0) {
            --failures;
            throw std::runtime_error("injected handler failure");
        }
    }
    [[noreturn]] static void Fail(const char* what) {
        std::fprintf(stderr, "receive_fuzz: %s\n", what);
        std::abort();
    }

private:
    Log& log_;
};

std::string Hex(const std::string& s) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < s.size() && i < 48; ++i) {
        std::snprintf(b, sizeof b, "%02X ", static_cast<unsigned char>(s[i]));
        out += b;
    }
    if (s.size() > 48) out += "... (" + std::to_string(s.size()) + " bytes)";
    return out;
}

void Dump(const char* title, const std::vector<Action>& actions) {
    std::fprintf(stderr, "%s:\n", title);
    for (const auto& a : actions) {
        const char* kind = a.kind == Action::Filed     ? "filed"
                           : a.kind == Action::Written ? "written"
                                                       : "failed";
        std::fprintf(stderr, "  %s %d %s\n", kind, a.mailbox, Hex(a.bytes).c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<vostrel::fuzz::PlannedRead> reads = vostrel::fuzz::PlanReads(data, size);

    Log log;
    log.actions.reserve(64);
    Host host(log);
    Sink sink(log);
    auto comm = std::make_unique<LoggingComm>(log);
    LoggingComm& port = *comm;
    port.DiscardWrites(true);
    auto timer = std::make_unique<vostrel::testing::MemoryTimer>();
    vostrel::testing::MemoryTimer& clock = *timer;
    vostrel::Vostrel control(std::move(comm), std::move(timer), &host);
    control.UserControl_InitProperties();
    control.PingNXT(vostrel::kFalse);  // silences tick without touching the status
    control.SetEventSink(&sink);
    sink.control = &control;
    if (control.ConnectNXT(1, 9600) != 0) Sink::Fail("ConnectNXT failed on a memory port");
    log.actions.clear();

    vostrel::fuzz::ReceiveModel model;
    std::vector<Action> expected;
    expected.reserve(64);
    // Whether each slot has been filled or read: it then reads "" (the
    // handler and the checks below take every text), else "-1".
    bool taken[10] = {};
    // The received bytes a filed text can come from: the current read and
    // the receive buffer's worth before it.
    std::string recent;
    recent.reserve(kRecent);
    // Where the stream is known to be in step: the offset at which the next
    // well-formed packet must be taken (none: out of step after garbage).
    constexpr std::size_t kOutOfStep = SIZE_MAX;
    std::size_t inStepAt = 0;
    bool idleAtStep = true;     // nothing collected there (else one skipped header byte)
    std::size_t delivered = 0;  // stream bytes delivered so far
    const std::size_t baseline = vostrel::fuzz::HeapInUse();

    for (std::size_t r = 0; r < reads.size(); ++r) {
        const auto& read = reads[r];
        for (int i = 0; i < read.handlerFailures; ++i) model.ArmHandlerFailure();
        for (int i = 0; i < read.outputFailures; ++i) model.ArmOutputFailure();
        sink.failures += read.handlerFailures;
        port.failWrites += read.outputFailures;

        if (read.silenceBefore) {
            clock.Advance(vostrel::Vostrel::kWatchdogInterval);
            model.Silence();
            inStepAt = delivered;
            idleAtStep = true;
        }
        delivered += read.bytes.size();
        port.Deliver(read.bytes);
        expected = model.Feed(read.bytes);
        if (log.actions != expected) {
            std::fprintf(stderr, "read %zu of %zu: %s\n", r, reads.size(), Hex(read.bytes).c_str());
            Dump("expected", expected);
            Dump("control did", log.actions);
            Sink::Fail("the control's actions differ from the framing rules");
        }
        const auto& starts = model.TakenStarts();
        for (const auto& seg : read.segments) {
            if (seg.begin == seg.end) continue;
            const bool wasTaken =
                std::find(starts.begin(), starts.end(), seg.begin) != starts.end();
            const bool expectedInStep = seg.begin == inStepAt;
            switch (seg.kind) {
                case vostrel::fuzz::Segment::Packet:
                    if (expectedInStep && !wasTaken) {
                        std::fprintf(stderr, "read %zu: packet at stream offset %zu\n", r,
                                     seg.begin);
                        Sink::Fail(
                            "a well-formed packet in step with the stream was not delivered");
                    }
                    inStepAt = wasTaken ? seg.end : kOutOfStep;
                    idleAtStep = true;
                    break;
                case vostrel::fuzz::Segment::Oversize:
                    // From an idle start both its bytes are skipped, and the
                    // next packet's length (3 to 64) cannot pair with its
                    // high byte.
                    inStepAt = expectedInStep && idleAtStep ? seg.end : kOutOfStep;
                    idleAtStep = false;
                    break;
                case vostrel::fuzz::Segment::Garbage:
                    inStepAt = kOutOfStep;
                    break;
            }
        }
        recent += read.bytes;
        for (const auto& a : log.actions) {
            if (a.kind != Action::Filed) continue;
            if (recent.find(a.bytes) == std::string::npos)
                Sink::Fail("a slot holds bytes never received");
            taken[a.mailbox] = true;
        }
        for (vostrel::Integer i = 0; i <= 9; ++i) {
            if (control.ReadText(i) != (taken[i] ? "" : "-1"))
                Sink::Fail("a slot changed unannounced");
            taken[i] = true;
        }
        if (!control.PingTimer().Enabled().IsTrue()) Sink::Fail("the watchdog was left stopped");
        if (control.ErrorMessage() != "No errores" || !control.Connection().IsTrue())
            Sink::Fail("the receive path changed the status");
        if (sink.failures != static_cast<int>(model.HandlerFailuresLeft()) ||
            port.failWrites != static_cast<int>(model.OutputFailuresLeft()))
            Sink::Fail("injected failures were used differently");

        log.actions.clear();
        expected.clear();
        if (recent.size() > kRecent) {
            recent.erase(0, recent.size() - kRecent);
            recent.shrink_to_fit();
        }
        const std::size_t held = vostrel::fuzz::HeapInUse();
        const std::size_t harness = log.actions.capacity() * sizeof(Action) +
                                    expected.capacity() * sizeof(Action) + recent.capacity() +
                                    model.TakenStarts().capacity() * sizeof(std::size_t);
        if (held > baseline + harness + kHeapBound) {
            std::fprintf(stderr, "heap grew by %zu bytes (harness %zu)\n", held - baseline,
                         harness);
            Sink::Fail("the control's memory is not bounded");
        }
    }
    return 0;
}
