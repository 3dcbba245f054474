// Fuzz target: the control's receive path, fed arbitrary byte streams in
// arbitrary reads through an in-memory serial port. Beyond "no crash" it
// checks, after every read:
//  * every text filed and every echo written is exactly what the framing
//    rules say (receive_model.hpp), in order: a well-formed packet that
//    follows garbage, once the stream is back in step, is filed or echoed,
//    and nothing else is;
//  * every filed text lies whole in the bytes received (no slot ever holds
//    bytes that did not come down the line), and no slot changes unannounced;
//  * failures inside a notification reach the host's UnhandledError, one per
//    failed packet, and cost no other packet;
//  * the watchdog is running again, the status text and Connection untouched;
//  * the heap the control holds stays within a fixed bound, however long the
//    stream.
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

// The receive buffer and a partial packet in the model and the control,
// allowing for string growth, plus the odd small allocation.
constexpr std::size_t kHeapBound = 8 * 1024;

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
    void UnhandledError(std::exception_ptr) override { log_.actions.push_back({Action::Failed, -1, {}}); }

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
        const char* kind = a.kind == Action::Filed ? "filed" : a.kind == Action::Written ? "written" : "failed";
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
    vostrel::Vostrel control(std::move(comm), std::make_unique<vostrel::testing::MemoryTimer>(), &host);
    control.UserControl_InitProperties();
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
    recent.reserve(vostrel::fuzz::ReceiveModel::kLimit);
    const std::size_t baseline = vostrel::fuzz::HeapInUse();

    for (std::size_t r = 0; r < reads.size(); ++r) {
        const auto& read = reads[r];
        for (int i = 0; i < read.handlerFailures; ++i) model.ArmHandlerFailure();
        for (int i = 0; i < read.outputFailures; ++i) model.ArmOutputFailure();
        sink.failures += read.handlerFailures;
        port.failWrites += read.outputFailures;

        port.Deliver(read.bytes);
        expected = model.Feed(read.bytes);
        if (log.actions != expected) {
            std::fprintf(stderr, "read %zu of %zu: %s\n", r, reads.size(), Hex(read.bytes).c_str());
            Dump("expected", expected);
            Dump("control did", log.actions);
            Sink::Fail("the control's actions differ from the framing rules");
        }
        recent += read.bytes;
        for (const auto& a : log.actions) {
            if (a.kind != Action::Filed) continue;
            if (recent.find(a.bytes) == std::string::npos) Sink::Fail("a slot holds bytes never received");
            taken[a.mailbox] = true;
        }
        for (vostrel::Integer i = 0; i <= 9; ++i) {
            if (control.ReadText(i) != (taken[i] ? "" : "-1")) Sink::Fail("a slot changed unannounced");
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
        if (recent.size() > vostrel::fuzz::ReceiveModel::kLimit) {
            recent.erase(0, recent.size() - vostrel::fuzz::ReceiveModel::kLimit);
            recent.shrink_to_fit();
        }
        const std::size_t held = vostrel::fuzz::HeapInUse();
        const std::size_t harness = log.actions.capacity() * sizeof(Action) +
                                    expected.capacity() * sizeof(Action) + recent.capacity();
        if (held > baseline + harness + kHeapBound) {
            std::fprintf(stderr, "heap grew by %zu bytes (harness %zu)\n", held - baseline, harness);
            Sink::Fail("the control's memory is not bounded");
        }
    }
    return 0;
}
