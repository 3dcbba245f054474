// The Windows side of the pseudo-terminal tests: run under Wine on COM port
// N, which the Linux-side driver (tests/wine) has mapped to a pty whose far
// end it plays. One scenario per run; it prints what it saw, one line at a
// time, and exits 0 when its own checks passed ("FAIL: why" and 1 when not).
//
//   port_peer SCENARIO N
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "vostrel/platform.hpp"

using namespace vostrel;
using namespace vostrel::platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

struct Failed {
    std::string why;
};

void Check(bool ok, const std::string& why) {
    if (!ok) throw Failed{why};
}

// CPU time of this process so far (all threads), in ms.
double CpuMs() {
    FILETIME created, exited, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& f) {
        return ((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e4;
    };
    return ms(kernel) + ms(user);
}

int ErrorNumber(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.Number();
    }
    return 0;
}

// Every byte value out, then every value back in reverse; Input twice.
void ExactBytes(Integer n) {
    DefaultLoop loop;
    SerialPort port(loop);
    port.CommPort(n);
    port.Settings("9600,n,8,1");
    port.PortOpen(kTrue);
    String all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    String got;
    port.OnComm([&] {
        got += port.Input();
        if (got.size() >= 256) loop.stop();
    });
    port.Output(all);
    Check(port.Drain(2000ms), "the packet did not leave");
    Say("sent 256");
    loop.run_for(5000ms);
    Check(got == String(all.rbegin(), all.rend()),
          "received " + std::to_string(got.size()) + " bytes, not the 256 reversed");
    Check(port.Input().empty(), "a second Input was not empty");
    Say("received 256 exact");
    port.PortOpen(kFalse);
    Check(port.LostAtClose() == 0, "bytes lost at close");
}

struct MailPrinter : EventSink {
    Vostrel* nxt = nullptr;
    DefaultLoop* loop = nullptr;
    int mails = 0;
    int stopAfter = 0;
    std::vector<Clock::time_point> noPings;
    void NewMail(Integer& box) override {
        Integer b = box;
        Say("mail " + std::to_string(b) + " " + nxt->ReadText(b).c_str());
        if (++mails == stopAfter) loop->stop();
    }
    std::size_t stopAfterPings = 0;
    void NoPing() override {
        noPings.push_back(Clock::now());
        if (noPings.size() == stopAfterPings) loop->stop();
    }
};

// Packets the line splits and joins reach the control as whole messages.
void SplitAndJoined(Integer n) {
    DefaultLoop loop;
    auto nxt = MakeControl(loop);
    MailPrinter sink;
    sink.nxt = nxt.get();
    sink.loop = &loop;
    sink.stopAfter = 3;
    nxt->SetEventSink(&sink);
    Check(nxt->ConnectNXT(n, 9600) == 0, "ConnectNXT: " + nxt->ErrorMessage());
    Say("connected");
    loop.run_for(5000ms);
    Check(sink.mails == 3, "got " + std::to_string(sink.mails) + " mails, not 3");
    Check(nxt->SendText(2, "bye") == 0, "SendText: " + nxt->ErrorMessage());
    Check(nxt->DisconnectNXT() == 0, "DisconnectNXT: " + nxt->ErrorMessage());
    Say("disconnected");
}

// The far end hangs up: one OnComm, then no spin and no more; Input empty,
// Output refused with the system's reason.
void HangUpPort(Integer n) {
    DefaultLoop loop;
    SerialPort port(loop);
    port.CommPort(n);
    port.PortOpen(kTrue);
    int notes = 0;
    String got;
    port.OnComm([&] {
        ++notes;
        got += port.Input();
    });
    Say("open");
    // The far end writes "x" and hangs up.
    const auto end = Clock::now() + 3000ms;
    while (!port.HungUp() && Clock::now() < end) loop.run_for(50ms);
    Check(port.HungUp(), "no hang-up seen");
    const int notesAtHangUp = notes;
    const double cpu0 = CpuMs();
    loop.run_for(1000ms);
    const double cpu = CpuMs() - cpu0;
    Say("hung up: notifications " + std::to_string(notes) + ", cpu " + std::to_string(cpu) +
        " ms in 1 s, Win32 error " + std::to_string(port.LastSystemError()));
    Check(got == "x", "received \"" + got + "\", not x");
    Check(notes == notesAtHangUp && notes <= 2, "notified again after the hang-up");
    Check(cpu < 200, "the hung-up port burns CPU");
    Check(port.Input().empty(), "Input after the hang-up not empty");
    Check(ErrorNumber([&] { port.Output("y"); }) == err::kDeviceIo, "Output not refused");
    port.PortOpen(kFalse);
    Check(port.PortOpen() == kFalse, "still open");
}

// The control over a line that hangs up: NoPing follows, DisconnectNXT is clean.
void HangUpControl(Integer n) {
    DefaultLoop loop;
    auto nxt = MakeControl(loop);
    MailPrinter sink;
    sink.nxt = nxt.get();
    sink.loop = &loop;
    nxt->SetEventSink(&sink);
    nxt->PingTimer().Interval(300);
    Check(nxt->ConnectNXT(n, 9600) == 0, "ConnectNXT: " + nxt->ErrorMessage());
    Say("connected");
    // The far end has hung up by now, and the loop has not yet heard: the
    // write fails as it starts, and that packet was never accepted, so
    // closing must not count it lost.
    std::this_thread::sleep_for(500ms);
    Check(nxt->SendText(1, "early") == 1, "a send as the line hung up succeeded");
    const double cpu0 = CpuMs();
    loop.run_for(1500ms);
    const double cpu = CpuMs() - cpu0;
    Say("noping " + std::to_string(sink.noPings.size()) + ", cpu " + std::to_string(cpu) + " ms");
    Check(!sink.noPings.empty(), "no NoPing after the hang-up");
    Check(nxt->ErrorMessage() == "Ping error", "status " + nxt->ErrorMessage());
    Check(cpu < 300, "the control burns CPU after the hang-up");
    Check(nxt->SendText(1, "late") == 1, "a send on a hung-up line succeeded");
    Check(nxt->DisconnectNXT() == 0, "DisconnectNXT: " + nxt->ErrorMessage());
    Say("disconnected");
}

// The far end reads nothing: Output refuses a packet whole once the line
// stays blocked, Drain says the bytes have not left, and closing counts what
// it had to drop. Every byte is either received whole, in order, or counted.
void StalledLine(Integer n) {
    DefaultLoop loop;
    SerialPort port(loop);
    port.CommPort(n);
    port.PortOpen(kTrue);
    std::size_t accepted = 0;
    String refusal;
    for (int i = 0; i < 200 && refusal.empty(); ++i) {
        const String packet(1000, static_cast<char>('a' + i % 26));
        try {
            port.Output(packet);
            accepted += packet.size();
        } catch (const Error& e) {
            Check(e.Number() == err::kDeviceIo, "refused with " + std::to_string(e.Number()));
            refusal = e.what();
        }
    }
    Check(!refusal.empty(), "a blocked line never refused a packet");
    Check(refusal.rfind("the line is not taking bytes (", 0) == 0, "refused: " + refusal);
    Check(!port.Drain(200ms), "Drain said a stalled line had sent everything");
    // An interrupt from another thread ends the wait.
    HANDLE interrupt = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    port.CancelWaitsOn(interrupt);
    std::thread interrupter([interrupt] {
        ::Sleep(100);
        ::SetEvent(interrupt);
    });
    const auto waitStart = Clock::now();
    Check(!port.Drain(30000ms), "Drain said a stalled line had sent everything");
    interrupter.join();
    Check(Clock::now() - waitStart < 15s, "an interrupt did not end Drain");
    Check(ErrorNumber([&] { port.PortOpen(kFalse); }) == err::kDeviceIo,
          "a close that dropped accepted bytes did not say so");
    Check(port.PortOpen() == kFalse, "the port stayed open after a lossy close");
    Say("accepted " + std::to_string(accepted) + " lost " + std::to_string(port.LostAtClose()));
    Check(port.LostAtClose() > 0, "nothing counted lost on a stalled line");
    port.CancelWaitsOn(nullptr);
    ::CloseHandle(interrupt);
}

// The byte the far end sends at offset i of a long stream.
char StreamByte(std::size_t i) { return static_cast<char>((i * 7) % 251); }

// A host busy for a while (not pumping) while far more than the port keeps
// waiting arrives: the reader pauses, and goes on once the host takes what
// waited; every byte arrives, in order.
void Backlog(Integer n) {
    DefaultLoop loop;
    SerialPort port(loop);
    port.CommPort(n);
    port.PortOpen(kTrue);
    constexpr std::size_t kTotal = 4 * SerialPort::kMaxWaiting;
    String got;
    port.OnComm([&] {
        got += port.Input();
        if (got.size() >= kTotal) loop.stop();
    });
    Say("open");
    ::Sleep(1500);  // the far end writes meanwhile; nothing is pumped
    loop.run_for(20000ms);
    std::size_t inOrder = 0;
    while (inOrder < got.size() && got[inOrder] == StreamByte(inOrder)) ++inOrder;
    Say("received " + std::to_string(got.size()) + ", in order " + std::to_string(inOrder));
    Check(got.size() == kTotal && inOrder == kTotal, "the stream did not arrive whole");
}

// The far end reads nothing until the port refuses a packet, then reads
// everything: what waited and a packet sent after it arrive whole and in
// order, and nothing is lost.
void StallThenRead(Integer n) {
    DefaultLoop loop;
    SerialPort port(loop);
    port.CommPort(n);
    port.PortOpen(kTrue);
    auto next = [](std::size_t from) {
        String packet(1000, '\0');
        for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = StreamByte(from + i);
        return packet;
    };
    std::size_t accepted = 0;
    for (bool refused = false; !refused;) {
        try {
            port.Output(next(accepted));
            accepted += 1000;
        } catch (const Error&) {
            refused = true;
        }
    }
    Say("stalled");  // the far end starts reading
    Check(port.Drain(10000ms), "what waited never left");
    port.Output(next(accepted));
    accepted += 1000;
    Check(port.Drain(5000ms), "the packet after the stall never left");
    port.PortOpen(kFalse);
    Check(port.LostAtClose() == 0, "bytes lost at close");
    Say("sent " + std::to_string(accepted));
}

// The line settings reach the line, and settings the device cannot take
// are refused with the line left as it was. (A pseudo-terminal keeps a
// line's speed and stop bits but always has 8 data bits and no parity.)
void LineSettings(Integer n) {
    DefaultLoop loop;
    SerialPort port(loop);
    port.CommPort(n);
    port.Settings("19200,n,8,2");
    port.PortOpen(kTrue);
    Say("set 19200,n,8,2");
    char line[16];
    Check(std::fgets(line, sizeof line, stdin) != nullptr, "no go-ahead");
    String why;
    try {
        port.Settings("4800,e,7,1");
    } catch (const Error& e) {
        Check(e.Number() == err::kInvalidPropertyValue,
              "refused with " + std::to_string(e.Number()));
        why = e.what();
    }
    Check(!why.empty(), "the line took 7 data bits and even parity");
    Check(port.Settings() == "19200,n,8,2", "a refused text changed the settings");
    Check(ErrorNumber([&] { port.Settings("9600,x,8,1"); }) == err::kInvalidPropertyValue,
          "a bad parity was taken");
    Say("refused: " + why);
    Check(std::fgets(line, sizeof line, stdin) != nullptr, "no go-ahead");
}

// Only one open at a time, in this process or another.
int OpenOnly(Integer n) {
    DefaultLoop loop;
    SerialPort port(loop);
    port.CommPort(n);
    const int number = ErrorNumber([&] { port.PortOpen(kTrue); });
    return number == err::kPortAlreadyOpen ? 3 : number == 0 ? 0 : 4;
}

int OtherProcessOpens(Integer n) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" open-only " + std::to_wstring(n);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    Check(
        ::CreateProcessW(self, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi),
        "cannot start a second process");
    ::WaitForSingleObject(pi.hProcess, 20000);
    DWORD code = 99;
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(pi.hThread);
    return static_cast<int>(code);
}

void Exclusive(Integer n) {
    DefaultLoop loop;
    SerialPort first(loop);
    first.CommPort(n);
    first.PortOpen(kTrue);
    SerialPort second(loop);
    second.CommPort(n);
    Check(ErrorNumber([&] { second.PortOpen(kTrue); }) == err::kPortAlreadyOpen,
          "a second open in this process was not refused as in use");
    auto nxt = MakeControl(loop);
    Check(nxt->ConnectNXT(n, 9600) == 1 && nxt->ErrorMessage() == "Connection error",
          "a control on the held port connected");
    Check(OtherProcessOpens(n) == 3, "another process opened the held port");
    Say("refused while held");
    first.PortOpen(kFalse);
    Check(OtherProcessOpens(n) == 0, "another process could not open the released port");
    Say("opened once released");
}

// The watchdog on the real timer: ticks on fixed deadlines; an idle
// connected control sleeps.
void Watchdog(Integer n) {
    DefaultLoop loop;
    auto nxt = MakeControl(loop);
    MailPrinter sink;
    sink.nxt = nxt.get();
    sink.loop = &loop;
    nxt->SetEventSink(&sink);
    nxt->PingTimer().Interval(200);
    const auto armed = Clock::now();
    Check(nxt->ConnectNXT(n, 9600) == 0, "ConnectNXT: " + nxt->ErrorMessage());
    sink.stopAfterPings = 4;
    loop.run_for(3000ms);  // ticks due at 200, 400, 600 and 800 ms
    Check(sink.noPings.size() == 4, "ticks: " + std::to_string(sink.noPings.size()) + ", not 4");
    double worst = 0;
    for (std::size_t i = 0; i < sink.noPings.size(); ++i) {
        const auto due = armed + 200ms * static_cast<int>(i + 1);
        const double late =
            std::chrono::duration<double, std::milli>(sink.noPings[i] - due).count();
        Check(late > -1.0, "tick " + std::to_string(i) + " early");
        worst = std::max(worst, late);
    }
    Say("ticks 4, worst " + std::to_string(worst) + " ms late");
    Check(worst < 100, "a tick came too late");

    // Idle with the control's own 10 s interval: no polling.
    nxt->PingTimer().Interval(10000);
    nxt->PingTimer().Enabled(kTrue);
    const std::uint64_t wakeups0 = loop.Wakeups();
    const double cpu0 = CpuMs();
    loop.run_for(2000ms);
    const double cpu = CpuMs() - cpu0;
    const std::uint64_t wakeups = loop.Wakeups() - wakeups0;
    Say("idle 2 s: cpu " + std::to_string(cpu) + " ms, wakeups " + std::to_string(wakeups));
    Check(wakeups <= 3, "the idle loop woke " + std::to_string(wakeups) + " times");
    Check(cpu < 60, "the idle control used CPU");
    Check(nxt->DisconnectNXT() == 0, "DisconnectNXT: " + nxt->ErrorMessage());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: port_peer SCENARIO COM-NUMBER\n", stderr);
        return 2;
    }
    const std::string scenario = argv[1];
    const auto n = static_cast<Integer>(std::atoi(argv[2]));
    try {
        if (scenario == "open-only") return OpenOnly(n);
        const std::map<std::string, void (*)(Integer)> scenarios{
            {"ExactBytes", ExactBytes},     {"SplitAndJoined", SplitAndJoined},
            {"HangUpPort", HangUpPort},     {"HangUpControl", HangUpControl},
            {"Exclusive", Exclusive},       {"Watchdog", Watchdog},
            {"StalledLine", StalledLine},   {"Backlog", Backlog},
            {"LineSettings", LineSettings}, {"StallThenRead", StallThenRead},
        };
        const auto it = scenarios.find(scenario);
        if (it == scenarios.end()) {
            std::fputs(("unknown scenario " + scenario + "\n").c_str(), stderr);
            return 2;
        }
        it->second(n);
    } catch (const Failed& f) {
        Say("FAIL: " + f.why);
        return 1;
    } catch (const std::exception& e) {
        Say(std::string("FAIL: ") + e.what());
        return 1;
    }
    Say("done");
    return 0;
}
