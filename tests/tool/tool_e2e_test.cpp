// The built `vostrel` executable against an in-process simulated brick,
// over real pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "sim/simulated_brick.hpp"
#include "sim/wire.hpp"
#include "subprocess.hpp"
#include "testsupport/pty_pair.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::testing {
namespace {

using namespace std::string_literals;
using nlohmann::json;
using sim::BrickStatus;
using std::chrono::milliseconds;

bool HasTone(const BrickStatus& s) { return !s.tones.empty(); }

TEST(ToolUsage, HelpOnEveryCommandAndStatusTwoForBadUsage) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--help"},
                                          {"demo", "--help"},
                                          {"sim", "--help"},
                                          {"send", "--help"},
                                          {"listen", "--help"},
                                          {"ports", "--help"}}) {
        auto [rc, out] = RunTool(args);
        EXPECT_EQ(rc, 0) << args[0];
        EXPECT_NE(out.find("Usage"), std::string::npos) << out;
    }
    for (std::vector<std::string> args : {std::vector<std::string>{},
                                          {"fly"},
                                          {"send", "-p", "1", "-m", "1"},
                                          {"send", "-p", "1", "-m", "1", "-t", "a", "-n", "2"},
                                          {"send", "-p", "1", "-m", "x", "-t", "a"},
                                          {"send", "-p", "1", "-m", "1", "-n", "2147483648"},
                                          {"listen", "-p", "1", "-b", "57600"},
                                          {"listen"},
                                          {"send", "-p", "99999", "-m", "1", "-t", "a"},
                                          {"sim", "--send-text", "nobox"},
                                          {"sim", "--any-host"},
                                          {"sim", "--bluetooth", "--device", "/dev/null"}}) {
        auto [rc, out] = RunTool(args);
        EXPECT_EQ(rc, 2) << (args.empty() ? "(none)" : args.back()) << ": " << out;
    }
    auto [rc, out] = RunTool({"ports"});
    EXPECT_EQ(rc, 0) << out;
}

TEST(ToolSim, OverBluetoothOnAKernelWithoutItFailsAtOnceSayingSo) {
    const int s = ::socket(31 /* AF_BLUETOOTH */, SOCK_STREAM, 3 /* BTPROTO_RFCOMM */);
    if (s >= 0) {
        ::close(s);
        GTEST_SKIP() << "this kernel has Bluetooth (the Bluetooth VM stage serves a brick)";
    }
    auto [rc, out] = RunTool({"sim", "--bluetooth"});
    EXPECT_EQ(rc, 1) << out;
    EXPECT_NE(
        out.find("cannot serve the brick over Bluetooth: this system has no Bluetooth support"),
        std::string::npos)
        << out;
}

TEST(ToolSend, TextAndNumberReachTheBrick) {
    sim::SimulatedBrick brick;
    auto [rc, out] = RunTool({"send", "-p", brick.DevicePath(), "-m", "3", "-t", "hello world"});
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "No errores\n");
    ASSERT_TRUE(brick.WaitUntil([](const BrickStatus& s) { return s.StoredFor(3).size() == 1; },
                                milliseconds(5000)));
    EXPECT_EQ(brick.Status().StoredFor(3)[0], "hello world\0"s);
    EXPECT_EQ(brick.Status().tones.at(0), (sim::Tone{1000, 500}));  // the connect beep

    std::tie(rc, out) =
        RunTool({"send", "-p", brick.DevicePath(), "-m", "0", "-n", "1000", "-b", "19200"});
    EXPECT_EQ(rc, 0) << out;
    ASSERT_TRUE(brick.WaitUntil([](const BrickStatus& s) { return s.StoredFor(0).size() == 1; },
                                milliseconds(5000)));
    EXPECT_EQ(brick.Status().StoredFor(0)[0], "\xE8\x03\x00\x00\x00"s);
}

TEST(ToolSend, FailuresOfTheControlExitOne) {
    sim::SimulatedBrick brick;
    const ToolRun r = RunToolApart({"send", "-p", "/nonexistent/tty", "-m", "1", "-t", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Connection error: cannot open /nonexistent/tty: No such file or directory\n");
    EXPECT_TRUE(brick.Status().StoredFor(1).empty());
}

// The reason goes to standard error and nowhere else: standard output
// carries only what the command prints on success (or listen's events).
TEST(ToolErrors, FailuresSayWhyOnStderr) {
    const std::string notATerminal =
        "Connection error: /dev/null is not a serial device: not a terminal\n";
    ToolRun r = RunToolApart({"send", "-p", "/dev/null", "-m", "1", "-t", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, notATerminal);
    EXPECT_EQ(r.out, "");
    r = RunToolApart({"listen", "--json", "-p", "/dev/null"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, notATerminal);
    EXPECT_EQ(r.out, R"({"event":"connect","result":1,"status":"Connection error"})"
                     "\n");

    // A line `cat` reads without locking it: the brick's replies would go to cat.
    PtyPair far;
    if (!far.Ok()) GTEST_SKIP() << "no pseudo-terminal: " << far.Failure();
    Subprocess cat({"/bin/sh", "-c", "exec <\"$0\"; echo ready; exec cat", far.SlavePath()});
    ASSERT_EQ(cat.ReadLine().value_or("(nothing)"), "ready");
    r = RunToolApart({"send", "-p", far.SlavePath(), "-m", "1", "-t", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Connection error: " + far.SlavePath() + " is in use by process ", 0), 0u)
        << r.err;
    EXPECT_EQ(r.out, "");
}

TEST(ToolSend, ArgumentsOutOfRangeAreRefusedBeforeConnecting) {
    sim::SimulatedBrick brick;
    const std::string dev = brick.DevicePath();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"-m", "10", "-t", "x"}, "0 to 9"},
        {{"-m", "-1", "-t", "x"}, "0 to 9"},
        {{"-m", "-32768", "-t", "x"}, "0 to 9"},
        {{"-m", "1", "-n", "-5"}, "0 to 2147483647"},
        {{"-m", "1", "-n", "-2147483648"}, "0 to 2147483647"},
        {{"-m", "1", "-t", std::string(59, 'a')}, "58 bytes"},
    };
    for (const auto& [extra, limit] : cases) {
        std::vector<std::string> args{"send", "-p", dev};
        args.insert(args.end(), extra.begin(), extra.end());
        auto [rc, out] = RunTool(args);
        EXPECT_EQ(rc, 2) << extra[1] << " " << extra[3] << ": " << out;
        EXPECT_NE(out.find(limit), std::string::npos) << out;
    }
    // The edges are taken, and the brick beeps for those only.
    auto [rc, out] = RunTool({"send", "-p", dev, "-m", "9", "-t", std::string(58, 'a')});
    EXPECT_EQ(rc, 0) << out;
    std::tie(rc, out) = RunTool({"send", "-p", dev, "-m", "0", "-n", "2147483647"});
    EXPECT_EQ(rc, 0) << out;
    ASSERT_TRUE(brick.WaitUntil([](const BrickStatus& s) { return s.StoredFor(0).size() == 1; },
                                milliseconds(5000)));
    EXPECT_EQ(brick.Status().tones.size(), 2u);
    EXPECT_EQ(brick.Status().StoredFor(9).at(0), std::string(58, 'a') + '\0');
}

// A `listen --json` session on the brick's device.
class Listen {
public:
    Listen(const std::string& path, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{VOSTREL_TOOL_PATH, "listen", "--json", "-p", path};
        argv.insert(argv.end(), extra.begin(), extra.end());
        proc = std::make_unique<Subprocess>(argv);
    }
    // The next event; lines that are no JSON (stderr joins the output) are
    // kept in `said`.
    json Next(milliseconds timeout = milliseconds(10000)) {
        for (;;) {
            auto line = proc->ReadLine(timeout);
            if (!line) return json{{"event", "none"}};
            if (line->rfind('{', 0) == 0) return json::parse(*line);
            said.push_back(*line);
        }
    }
    // The next event of kind `event`, skipping others.
    json NextOf(const std::string& event) {
        for (int i = 0; i < 100; ++i) {
            json j = Next();
            if (j["event"] == event || j["event"] == "none") return j;
        }
        return json{{"event", "none"}};
    }
    std::unique_ptr<Subprocess> proc;
    std::vector<std::string> said;
};

TEST(ToolListen, StdinCommandsAndMailAsJson) {
    sim::SimulatedBrick brick;
    Listen l(brick.DevicePath());
    EXPECT_EQ(l.Next(), json::parse(R"({"event":"connect","result":0,"status":"No errores"})"));
    ASSERT_TRUE(brick.WaitUntil(HasTone, milliseconds(5000)));  // the port is open
    brick.SendText(1, "world");
    EXPECT_EQ(l.Next(),
              json::parse(R"({"event":"mail","mailbox":1,"text":"world","hex":"776f726c6400"})"));

    l.proc->Write(
        "text 3 hi  there\nvalue 2 7\nread 1\nread 4\nbogus\ntext 12 x\nread -32768\n"
        "text -3 x\nvalue 2 -7\ntext 1 " +
        std::string(59, 'b') + "\n");
    EXPECT_EQ(l.Next(),
              json::parse(R"({"event":"sent","mailbox":3,"result":0,"status":"No errores"})"));
    EXPECT_EQ(l.Next(),
              json::parse(R"({"event":"sent","mailbox":2,"result":0,"status":"No errores"})"));
    EXPECT_EQ(
        l.Next(),
        json::parse(R"({"event":"read","mailbox":1,"text":"","hex":""})"));  // taken with its mail
    EXPECT_EQ(l.Next(), json::parse(R"({"event":"read","mailbox":4,"text":"-1","hex":"2d31"})"));
    EXPECT_EQ(l.Next()["event"], "error");
    // Out of the tool's ranges: refused, nothing sent, and the session goes on.
    for (const char* limit : {"0 to 9", "0 to 9", "0 to 9", "0 to 2147483647", "58 bytes"}) {
        const json e = l.Next();
        EXPECT_EQ(e["event"], "error");
        EXPECT_NE(e.value("message", "").find(limit), std::string::npos) << e;
    }
    ASSERT_TRUE(brick.WaitUntil([](const BrickStatus& s) { return s.StoredFor(2).size() == 1; },
                                milliseconds(5000)));
    EXPECT_EQ(brick.Status().StoredFor(3).at(0), "hi  there\0"s);
    EXPECT_EQ(brick.Status().StoredFor(2).at(0), "\x07\x00\x00\x00\x00"s);
    EXPECT_EQ(brick.Status().received.size(), 3u);  // the tone and the two messages

    l.proc->Write("disconnect\nconnect\n");
    EXPECT_EQ(l.Next(), json::parse(R"({"event":"disconnect","result":0,"status":"No errores"})"));
    EXPECT_EQ(l.Next(), json::parse(R"({"event":"connect","result":0,"status":"No errores"})"));
    l.proc->Write("connect\n");  // already open: the control refuses
    EXPECT_EQ(l.Next(),
              json::parse(R"({"event":"connect","result":1,"status":"Connection error"})"));
    l.proc->CloseStdin();
    EXPECT_EQ(l.Next(), json::parse(R"({"event":"disconnect","result":0,"status":"No errores"})"));
    ASSERT_FALSE(l.said.empty());
    EXPECT_EQ(l.said.back(),
              "Connection error: the port number cannot change while the port is open");
    EXPECT_EQ(l.proc->Wait(), 0);
}

TEST(ToolListen, KeepAliveQueriesAreAnsweredAndNotFiled) {
    sim::BrickOptions o;
    o.program.pingEvery = milliseconds(30);
    o.program.pingInbox = 5;
    sim::SimulatedBrick brick(o);
    Listen l(brick.DevicePath(), {"--watchdog-ms", "100"});
    EXPECT_EQ(l.Next()["event"], "connect");
    EXPECT_TRUE(brick.WaitUntil([](const BrickStatus& s) { return s.pingAnswers >= 3; },
                                milliseconds(5000)));
    l.proc->Write("read 5\nquit\n");
    // Queries every 30 ms keep a 100 ms watchdog quiet; none is filed.
    EXPECT_EQ(l.Next(), json::parse(R"({"event":"read","mailbox":5,"text":"-1","hex":"2d31"})"));
    EXPECT_EQ(l.Next()["event"], "disconnect");
    EXPECT_EQ(l.proc->Wait(), 0);
    EXPECT_EQ(brick.Status().wrongAnswers, 0);
}

TEST(ToolListen, SilenceRaisesNoPingUnlessPingIsOff) {
    sim::SimulatedBrick brick;  // sends nothing on its own
    Listen l(brick.DevicePath(), {"--watchdog-ms", "150"});
    EXPECT_EQ(l.Next()["event"], "connect");
    EXPECT_EQ(l.Next(), json::parse(R"({"event":"noping","status":"Ping error"})"));
    EXPECT_EQ(l.Next(),
              json::parse(R"({"event":"noping","status":"Ping error"})"));  // again while silent
    l.proc->CloseStdin();
    EXPECT_EQ(l.NextOf("disconnect")["result"], 0);
    EXPECT_EQ(l.proc->Wait(), 0);

    Listen quiet(brick.DevicePath(), {"--watchdog-ms", "50", "--no-ping"});
    EXPECT_EQ(quiet.Next()["event"], "connect");
    // Several intervals pass; the next line is the answer to a command.
    ASSERT_TRUE(brick.WaitUntil([](const BrickStatus& s) { return s.tones.size() == 2; },
                                milliseconds(5000)));
    std::this_thread::sleep_for(milliseconds(250));
    quiet.proc->Write("read 0\n");
    EXPECT_EQ(quiet.Next()["event"], "read");
}

TEST(ToolListen, SplitJoinedAndGarbagePacketsDeliveredWhole) {
    sim::SimulatedBrick brick;
    Listen l(brick.DevicePath());
    EXPECT_EQ(l.Next()["event"], "connect");
    ASSERT_TRUE(brick.WaitUntil(HasTone, milliseconds(5000)));
    brick.SendText(1, "split over four writes", {4, milliseconds(40)});
    json mail = l.Next();
    EXPECT_EQ(mail["text"], "split over four writes");
    EXPECT_EQ(mail["hex"], sim::Hex("split over four writes\0"s));

    brick.SendJoined(
        {sim::MessageTelegram(1, "A"), sim::MessageTelegram(2, sim::NumberPayload(258))});
    EXPECT_EQ(l.Next(), json::parse(R"({"event":"mail","mailbox":1,"text":"A","hex":"4100"})"));
    EXPECT_EQ(
        l.Next(),
        json::parse(R"({"event":"mail","mailbox":2,"text":"\u0002\u0001","hex":"0201000000"})"));

    // Whole packets of junk are dropped; the stream stays in step.
    brick.SendGarbage("\x03\x00\x02\x09\x00\x01\x00\xff"s);
    brick.SendText(7, "after");
    EXPECT_EQ(l.Next()["text"], "after");

    brick.HangUp();
    l.proc->Write("text 1 x\nquit\n");
    const json sent = l.Next();
    EXPECT_EQ(sent["event"], "sent");
    EXPECT_EQ(sent["result"], 1);  // the line is gone
    EXPECT_EQ(l.Next()["event"], "disconnect");
    EXPECT_EQ(l.proc->Wait(), 0);
}

TEST(ToolListen, LineSettingsComeBackOnQuitAndOnEveryInterrupt) {
    PtyPair far(false);  // cooked, as a terminal is
    if (!far.Ok()) GTEST_SKIP() << "no pseudo-terminal: " << far.Failure();
    const auto settings = [&] {
        termios t{};
        const int fd = ::open(far.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(::tcgetattr(fd, &t), 0);
        ::close(fd);
        return std::make_tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag);
    };
    const auto before = settings();
    ASSERT_NE(std::get<3>(before) & ECHO, 0u);
    // 0: quit. A hang-up (the terminal closed) is an interrupt too.
    for (int signo : {0, SIGINT, SIGTERM, SIGHUP}) {
        Listen l(far.SlavePath());
        ASSERT_EQ(l.Next()["event"], "connect");
        if (signo != 0)
            l.proc->Signal(signo);
        else
            l.proc->Write("quit\n");
        EXPECT_EQ(l.NextOf("disconnect")["result"], 0) << "signal " << signo;
        EXPECT_EQ(l.proc->Wait(), 0) << "signal " << signo;
        EXPECT_EQ(settings(), before) << "signal " << signo;
    }
    // The simulated brick, serving the device, puts its settings back too.
    Subprocess brick({VOSTREL_TOOL_PATH, "sim", "-q", "--device", far.SlavePath()});
    ASSERT_EQ(brick.ReadLine().value_or(""), "device: " + far.SlavePath());
    EXPECT_NE(settings(), before) << "the brick's line is raw";
    brick.Signal(SIGHUP);
    EXPECT_NE(brick.ReadAll().find("stopped"), std::string::npos);
    EXPECT_EQ(brick.Wait(), 0);
    EXPECT_EQ(settings(), before) << "after the simulated brick";
}

TEST(ToolListen, InterruptEndsTheSessionCleanly) {
    sim::SimulatedBrick brick;
    Listen l(brick.DevicePath());
    EXPECT_EQ(l.Next()["event"], "connect");
    l.proc->Signal(SIGINT);
    EXPECT_EQ(l.Next()["event"], "disconnect");
    EXPECT_EQ(l.proc->Wait(), 0);
}

TEST(ToolSim, TheSimCommandServesAHost) {
    Subprocess simProc({VOSTREL_TOOL_PATH, "sim", "--ping-every", "0", "--echo-box", "2"});
    const auto first = simProc.ReadLine();
    ASSERT_TRUE(first && first->rfind("device: ", 0) == 0) << first.value_or("(nothing)");
    const std::string path = first->substr(8);
    auto [rc, out] = RunTool({"send", "-p", path, "-m", "2", "-t", "ping me"});
    EXPECT_EQ(rc, 0) << out;
    bool got = false, replied = false;
    while (auto line = simProc.ReadLine(milliseconds(5000))) {
        got = got || line->find("inbox 2 got \"ping me\"") != std::string::npos;
        replied = replied || line->find("\"got ping me\" to mailbox 2") != std::string::npos;
        if (got && replied) break;
    }
    EXPECT_TRUE(got);
    EXPECT_TRUE(replied);
    simProc.Signal(SIGINT);
    EXPECT_NE(simProc.ReadAll().find("stopped"), std::string::npos);
    EXPECT_EQ(simProc.Wait(), 0);
}

}  // namespace
}  // namespace vostrel::testing

namespace vostrel::testing {
namespace {

// The whole narrated session: about 17 s of real time, by design.
TEST(ToolDemo, NarratesTheSessionAndExitsZero) {
    auto [rc, out] = RunTool({"demo"}, std::chrono::seconds(40));
    EXPECT_EQ(rc, 0) << out;
    for (const char* line :
         {"ConnectNXT -> No errores", "heard a tone of 1000 Hz for 500 ms",
          "ReadText -> \"got hello\"", "ReadText -> \"got 1000\"", "keep-alive query answered",
          "host: NoPing", "ErrorMessage is now \"Ping error\"", "DisconnectNXT -> No errores"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}

}  // namespace
}  // namespace vostrel::testing

namespace vostrel::testing {
namespace {

using namespace std::string_literals;
using nlohmann::json;
using sim::BrickStatus;
using std::chrono::milliseconds;

std::vector<std::string> ListenArgs(const std::string& path, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{VOSTREL_TOOL_PATH, "listen", "--json", "-p", path};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

// The next JSON line; the reasons a failure prints on stderr (which joins the
// output) are skipped.
std::optional<json> NextJson(Subprocess& p, milliseconds timeout = milliseconds(10000)) {
    for (;;) {
        auto line = p.ReadLine(timeout);
        if (!line) return std::nullopt;
        if (line->rfind('{', 0) == 0) return json::parse(*line);
    }
}

TEST(ToolListenInput, AnOverlongLineIsRefusedWholeAndItsTailNeverRuns) {
    sim::SimulatedBrick brick;
    Subprocess p(ListenArgs(brick.DevicePath()));
    ASSERT_EQ(NextJson(p).value_or(json())["event"], "connect");
    // The newline comes in a later read than the one that crossed the limit.
    p.Write(std::string(69632 - 11, 'x') + "text 2 EVIL\nread 0\n");
    p.Write(std::string(70000, 'y'));
    p.Write(" quit\nread 1\nquit\n");
    const json error = NextJson(p).value_or(json());
    EXPECT_EQ(error["event"], "error");
    EXPECT_NE(error.value("message", "").find("too long"), std::string::npos);
    EXPECT_EQ(NextJson(p).value_or(json())["event"], "read");   // read 0
    EXPECT_EQ(NextJson(p).value_or(json())["event"], "error");  // the second long line
    const json read1 = NextJson(p).value_or(json());
    EXPECT_EQ(read1["event"], "read");  // its " quit" tail did not end the session
    EXPECT_EQ(read1["mailbox"], 1);
    EXPECT_EQ(NextJson(p).value_or(json())["event"], "disconnect");
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_TRUE(brick.Status().StoredFor(2).empty());
}

TEST(ToolListenInput, AClosedStandardInputIsEndOfInput) {
    sim::SimulatedBrick brick;
    Streams closed;
    closed.stdinClosed = true;
    Subprocess p(ListenArgs(brick.DevicePath()), closed);
    EXPECT_EQ(NextJson(p).value_or(json())["event"], "connect");
    EXPECT_EQ(NextJson(p).value_or(json())["event"], "disconnect");
    EXPECT_EQ(p.Wait(milliseconds(5000)), 0);
}

TEST(ToolListenInput, PlainErrorLinesShowControlBytesEscaped) {
    sim::SimulatedBrick brick;
    Subprocess p({VOSTREL_TOOL_PATH, "listen", "-p", brick.DevicePath()});
    ASSERT_TRUE(p.ReadLine().has_value());  // connect
    p.Write("\x1b[2Jwipe\x07\n");
    const std::string line = p.ReadLine().value_or("");
    EXPECT_NE(line.find("error: unknown command \"\\x1b[2Jwipe\\x07\""), std::string::npos) << line;
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
}

TEST(ToolListenEvents, ANoPingLineCarriesTheStatusItsTickSet) {
    sim::SimulatedBrick brick;  // silent: the watchdog ticks every 30 ms
    Subprocess p(ListenArgs(brick.DevicePath(), {"--watchdog-ms", "30"}));
    ASSERT_EQ(NextJson(p).value_or(json())["event"], "connect");
    std::vector<json> events;
    std::thread reader([&] {
        while (auto e = NextJson(p)) events.push_back(*e);
    });
    // Standard input is never empty while the ticks fall due, and every
    // command sets a status of its own: a refused connect, "Connection error".
    std::string batch;
    for (int i = 0; i < 64; ++i) batch += "connect\n";
    const auto until = std::chrono::steady_clock::now() + milliseconds(400);
    while (std::chrono::steady_clock::now() < until) p.Write(batch);
    p.CloseStdin();
    reader.join();
    int noPings = 0;
    for (const json& e : events) {
        EXPECT_NE(e["event"], "dropped");
        if (e["event"] != "noping") continue;
        ++noPings;
        EXPECT_EQ(e["status"], "Ping error");
    }
    EXPECT_GT(noPings, 0);
    EXPECT_EQ(p.Wait(), 0);
}

TEST(ToolOutput, AFailedWriteToStandardOutputEndsWithAReasonAndStatusOne) {
    sim::SimulatedBrick brick;
    Streams full;
    full.stdoutFile = "/dev/full";
    full.stderrApart = true;
    for (std::vector<std::string> args : {std::vector<std::string>{"ports"},
                                          {"send", "-p", brick.DevicePath(), "-m", "1", "-t", "x"},
                                          {"listen", "-p", brick.DevicePath()},
                                          {"sim", "-q"}}) {
        args.insert(args.begin(), VOSTREL_TOOL_PATH);
        Subprocess p(args, full);
        p.CloseStdin();
        EXPECT_EQ(p.Wait(), 1) << args[1];
        EXPECT_NE(p.ReadStderr().find("cannot write standard output: No space left on device"),
                  std::string::npos)
            << args[1];
    }
}

TEST(ToolOutput, ListenEndsOnceItsReaderHasGone) {
    sim::SimulatedBrick brick;
    Streams apart;
    apart.stderrApart = true;
    Subprocess p(ListenArgs(brick.DevicePath()),
                 apart);  // stdin stays open: only the reader ends it
    ASSERT_EQ(NextJson(p).value_or(json())["event"], "connect");
    p.CloseStdout();  // as `| head -1` does
    EXPECT_EQ(p.Wait(milliseconds(5000)), 1);
    EXPECT_NE(p.ReadStderr().find("cannot write standard output: Broken pipe"), std::string::npos);
}

// Mail until the output pipe holds `size` bytes that nobody reads.
void FillOutput(sim::SimulatedBrick& brick, Subprocess& p, std::size_t size) {
    size -= 256;  // a line that does not fit waits whole
    for (int i = 0; i < 2000 && p.OutputWaiting() < size; ++i) {
        brick.SendText(1, std::string(50, 'm'));
        std::this_thread::sleep_for(milliseconds(1));
    }
    ASSERT_GE(p.OutputWaiting(), size);
}

TEST(ToolOutput, ABlockedOutputHoldsUpNeitherKeepAlivesNorAnInterrupt) {
    sim::BrickOptions o;
    o.program.pingEvery = milliseconds(20);
    sim::SimulatedBrick brick(o);
    Streams small;
    small.stdoutPipeSize = 4096;
    small.stderrApart = true;
    Subprocess p(ListenArgs(brick.DevicePath(), {"--watchdog-ms", "1000"}), small);
    FillOutput(brick, p, 4096);
    for (int i = 0; i < 50; ++i) brick.SendText(1, std::string(50, 'w'));  // these wait in the tool
    const int answered = brick.Status().pingAnswers;
    EXPECT_TRUE(brick.WaitUntil(
        [&](const BrickStatus& s) { return s.pingAnswers >= answered + 10; }, milliseconds(5000)));
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(milliseconds(3000)), 1);  // ended, its last lines unwritten
    EXPECT_NE(p.ReadStderr().find("not being read"), std::string::npos);
}

struct NoPingCounter : EventSink {
    int noPings = 0;
    void NoPing() override { ++noPings; }
};

TEST(ToolOutput, ABlockedOutputHoldsUpNeitherTheSimulatedBrickNorAnInterrupt) {
    Streams small;
    small.stdoutPipeSize = 4096;
    small.stderrApart = true;
    Subprocess p({VOSTREL_TOOL_PATH, "sim", "--ping-every", "5"}, small);
    const auto first = p.ReadLine();
    ASSERT_TRUE(first && first->rfind("device: ", 0) == 0);
    // A host answers the queries, and the brick narrates each: the pipe fills.
    platform::DefaultLoop loop;
    platform::PortMap ports;
    ports.Map(1, first->substr(8));
    auto host = platform::MakeControl(loop, nullptr, ports);
    NoPingCounter sink;
    host->SetEventSink(&sink);
    host->PingTimer().Interval(600);
    ASSERT_EQ(host->ConnectNXT(1, 9600), 0);
    for (int i = 0; i < 100 && p.OutputWaiting() < 4096 - 256; ++i) loop.run_for(milliseconds(20));
    ASSERT_GE(p.OutputWaiting(), 4096u - 256);  // a line that does not fit waits whole
    loop.run_for(milliseconds(1000));           // the brick goes on querying
    EXPECT_EQ(sink.noPings, 0);
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(milliseconds(3000)), 1);
    host->DisconnectNXT();
}

TEST(ToolSimUsage, TimesAndTheKeepAliveTextAreCheckedAtParse) {
    for (const char* option :
         {"--ping-every", "--send-every", "--silent-after", "--silent-for", "--split-gap"}) {
        for (const char* value : {"9223372036854775807", "10000000000000", "86400001", "-1"}) {
            auto [rc, out] = RunTool({"sim", option, value});
            EXPECT_EQ(rc, 2) << option << " " << value << ": " << out;
            EXPECT_NE(out.find("86400000"), std::string::npos) << out;
        }
    }
    for (const std::string& text : {"a?"s, ""s, "?" + std::string(58, 'x')}) {
        auto [rc, out] = RunTool({"sim", "--ping-text", text});
        EXPECT_EQ(rc, 2) << text;
        EXPECT_NE(out.find("58 bytes"), std::string::npos) << out;
    }
}

}  // namespace
}  // namespace vostrel::testing

namespace vostrel::testing {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A line whose far end never reads, left with room for exactly `room` more
// bytes, at 4800 bits/s (a speed the tool never sets). Once the far end's
// receive buffer is full, what the system buffers behind it depends on the
// writes alone: the room is measured on a twin line filled the same way,
// and checked on another.
class StalledLine {
public:
    explicit StalledLine(std::size_t room) {
        PtyPair twin, check;
        const std::size_t total = Fill(twin, 0);
        if (!line_.Ok() || total <= room || Fill(check, total - room) != room)
            skip_ = "no pseudo-terminal that buffers as expected";
        else
            Fill(line_, total - room, false);
    }
    const std::string& Skip() const { return skip_; }
    const std::string& Path() const { return line_.SlavePath(); }
    speed_t Speed() const {
        termios t{};
        const int fd = ::open(Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::tcgetattr(fd, &t);
        ::close(fd);
        return ::cfgetospeed(&t);
    }

private:
    // Fills the far end's receive buffer (a line discipline's 4 KiB less
    // one), writes `bytes` more one at a time and returns how many more
    // single bytes the line takes (when `count`; 0 on failure).
    static std::size_t Fill(PtyPair& pair, std::size_t bytes, bool count = true) {
        constexpr int kReceiver = 4095;
        const int fd =
            pair.Ok() ? ::open(pair.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
        if (fd < 0) return 0;
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfsetspeed(&t, B4800);
        ::tcsetattr(fd, TCSANOW, &t);
        const std::string block(kReceiver, '\0');
        bool ok = ::write(fd, block.data(), block.size()) == kReceiver;
        // The system hands the bytes over to the far end on its own time.
        int waiting = 0;
        for (int i = 0; ok && i < 5000 && waiting < kReceiver; ++i) {
            std::this_thread::sleep_for(milliseconds(1));
            ok = ::ioctl(pair.Master(), FIONREAD, &waiting) == 0;
        }
        const char zero = 0;
        for (std::size_t i = 0; ok && i < bytes; ++i) ok = ::write(fd, &zero, 1) == 1;
        std::size_t room = 0;
        while (ok && count && ::write(fd, &zero, 1) == 1) ++room;
        ::close(fd);
        return ok && waiting == kReceiver ? room : 0;
    }

    PtyPair line_;
    std::string skip_;
};

// The connect tone the control sends first, and a text packet of 58 bytes.
constexpr std::size_t kTone = 8;
const std::string kLongText(58, 's');
constexpr std::size_t kTextPacket = 2 + 4 + 58 + 1;

// Waits until the tool, running as process `pid`, has the device `path`
// open (before its exec the child still has the test's descriptors).
bool Holds(int pid, const std::string& path, milliseconds timeout = milliseconds(5000)) {
    const auto until = Clock::now() + timeout;
    const std::string proc = "/proc/" + std::to_string(pid);
    const auto tool = std::filesystem::canonical(VOSTREL_TOOL_PATH);
    while (Clock::now() < until) {
        std::error_code ec;
        if (std::filesystem::read_symlink(proc + "/exe", ec) == tool)
            for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", ec))
                if (std::filesystem::read_symlink(fd.path(), ec) == path) return true;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return false;
}

// Room for the tone and part of the text packet: the packet is accepted,
// and its last bytes can never leave.
constexpr std::size_t kRoom = 20;
constexpr std::size_t kNeverLeaves = kTextPacket - (kRoom - kTone);

TEST(ToolStalledLine, SendExitsOneSayingThePacketDidNotLeave) {
    StalledLine line(kRoom);
    if (!line.Skip().empty()) GTEST_SKIP() << line.Skip();
    // Waits out the port's write timeout, the wait for the packet to leave
    // and the close's grace: about 7.5 s.
    const ToolRun r = RunToolApart({"send", "-p", line.Path(), "-m", "1", "-t", kLongText},
                                   std::chrono::seconds(30));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "") << "never \"No errores\" for a packet that did not go out";
    EXPECT_NE(r.err.find("vostrel: the packet did not leave within 5000 ms\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Comm error: closed with " + std::to_string(kNeverLeaves) +
                         " bytes of a packet not sent"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(line.Speed(), B4800) << "the line's settings are put back";
}

TEST(ToolStalledLine, AnInterruptEndsSendsWaitAtOnceAndPutsTheLineBack) {
    StalledLine line(kRoom);
    if (!line.Skip().empty()) GTEST_SKIP() << line.Skip();
    Streams apart;
    apart.stderrApart = true;
    Subprocess p({VOSTREL_TOOL_PATH, "send", "-p", line.Path(), "-m", "1", "-t", kLongText}, apart);
    p.CloseStdin();
    // Once it has the device, its interrupt handler is in place.
    ASSERT_TRUE(Holds(p.Pid(), line.Path()));
    p.Signal(SIGINT);
    // Without the interrupt the waits would last about 7.5 s.
    EXPECT_EQ(p.Wait(milliseconds(2500)), 1);
    const std::string err = p.ReadStderr(milliseconds(1000));
    EXPECT_NE(err.find("interrupted"), std::string::npos) << err;
    EXPECT_NE(err.find("Comm error: closed with " + std::to_string(kNeverLeaves) +
                       " bytes of a packet not sent: closing was cut short"),
              std::string::npos)
        << err;
    EXPECT_EQ(p.ReadAll(milliseconds(1000)), "");
    EXPECT_EQ(line.Speed(), B4800) << "the line's settings are put back";
}

TEST(ToolStalledLine, ListenDisconnectReportsWhatDidNotLeave) {
    StalledLine line(kRoom);
    if (!line.Skip().empty()) GTEST_SKIP() << line.Skip();
    Listen l(line.Path());
    ASSERT_EQ(l.Next()["event"], "connect");
    l.proc->Write("text 1 " + kLongText + "\ndisconnect\nquit\n");
    // Accepted: part of it is on the line, the rest waits in the port.
    EXPECT_EQ(l.Next(),
              json::parse(R"({"event":"sent","mailbox":1,"result":0,"status":"No errores"})"));
    EXPECT_EQ(l.Next(), json::parse(R"({"event":"disconnect","result":1,"status":"Comm error"})"));
    l.Next();  // the session's end; the reason comes before it
    ASSERT_FALSE(l.said.empty());
    EXPECT_EQ(l.said.front().rfind("Comm error: closed with " + std::to_string(kNeverLeaves) +
                                       " bytes of a packet not sent",
                                   0),
              0u)
        << l.said.front();
    EXPECT_EQ(l.proc->Wait(), 0);
}

TEST(ToolStalledLine, AnInterruptEndsListensWaitsAtOnceAndPutsTheLineBack) {
    StalledLine line(kRoom);
    if (!line.Skip().empty()) GTEST_SKIP() << line.Skip();
    Listen l(line.Path());
    ASSERT_EQ(l.Next()["event"], "connect");
    // Each packet that finds no room could hold the loop for a while.
    std::string texts;
    for (int i = 0; i < 10; ++i) texts += "text 1 " + kLongText + "\n";
    l.proc->Write(texts);
    EXPECT_EQ(l.Next()["event"], "sent");
    l.proc->Signal(SIGTERM);
    // Without the interrupt the other nine would take about 2 s each.
    EXPECT_EQ(l.proc->Wait(milliseconds(2500)), 1);
    EXPECT_EQ(l.NextOf("disconnect")["result"], 1);  // what never left is reported
    l.Next(milliseconds(1000));                      // the session's end; the reason before it
    std::string said;
    for (const auto& text : l.said) said += text + "\n";
    EXPECT_NE(said.find("closing was cut short"), std::string::npos)
        << "the close waited out its grace:\n"
        << said;
    EXPECT_EQ(line.Speed(), B4800) << "the line's settings are put back";
}

// Every refused command says why on standard error; with that pipe full and
// unread, the loop must go on.
TEST(ToolOutput, ABlockedStandardErrorHoldsUpNeitherKeepAlivesNorAnInterrupt) {
    sim::BrickOptions o;
    o.program.pingEvery = milliseconds(20);
    sim::SimulatedBrick brick(o);
    Streams s;
    s.stderrApart = true;
    s.stderrPipeSize = 4096;
    Subprocess p(
        {VOSTREL_TOOL_PATH, "listen", "--json", "-p", brick.DevicePath(), "--watchdog-ms", "1000"},
        s);
    ASSERT_EQ(p.ReadLine().value_or(""), R"({"event":"connect","result":0,"status":"No errores"})");
    // An open port refuses a connect, with a reason of about 70 bytes.
    for (int i = 0; i < 200 && p.StderrWaiting() < 4096 - 128; ++i) {
        p.Write("connect\n");
        ASSERT_TRUE(p.ReadLine().has_value());
    }
    ASSERT_GE(p.StderrWaiting(), 4096u - 128);
    std::string more;
    for (int i = 0; i < 50; ++i) more += "connect\n";
    p.Write(more + "read 0\n");  // these reasons find no room
    bool read = false;
    for (int i = 0; i < 51 && !read; ++i) {
        const auto line = p.ReadLine();
        ASSERT_TRUE(line.has_value()) << "the loop stopped at line " << i;
        read = line->find(R"("event":"read")") != std::string::npos;
    }
    EXPECT_TRUE(read);
    const int answered = brick.Status().pingAnswers;
    EXPECT_TRUE(
        brick.WaitUntil([&](const sim::BrickStatus& st) { return st.pingAnswers >= answered + 10; },
                        milliseconds(5000)));
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(milliseconds(3000)), 0);  // lines lost on stderr do not change it
    EXPECT_NE(p.ReadAll(milliseconds(1000)).find(R"({"event":"disconnect","result":0)"),
              std::string::npos);
}

}  // namespace
}  // namespace vostrel::testing
