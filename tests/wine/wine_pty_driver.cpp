// The Linux side of the Windows build's serial tests: each case opens a
// pseudo-terminal, maps it to its own COM port in the Wine prefix
// (dosdevices/comN -> /dev/pts/M), runs the Windows program under Wine and
// plays the far end. The Windows build's CTest runs it (tests/windows) and
// says where Wine, the prefix and the Windows programs are:
//   VOSTREL_WINE_LOADER, VOSTREL_WINE_PREFIX, VOSTREL_PORT_PEER, VOSTREL_WIN_TOOL.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "sim/simulated_brick.hpp"
#include "subprocess.hpp"
#include "testsupport/pty_pair.hpp"

namespace vostrel::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// dosdevices/comN -> the device, for as long as the case runs.
class ComMapping {
public:
    ComMapping(int n, const std::string& device)
        : link_(fs::path(Env("VOSTREL_WINE_PREFIX")) / "dosdevices" / ("com" + std::to_string(n))) {
        std::error_code ec;
        fs::remove(link_, ec);
        fs::create_symlink(device, link_);
    }
    ~ComMapping() {
        std::error_code ec;
        fs::remove(link_, ec);
    }

private:
    fs::path link_;
};

class WinePty : public ::testing::Test {
protected:
    void SetUp() override {
        if (Env("VOSTREL_WINE_LOADER").empty() || Env("VOSTREL_WINE_PREFIX").empty())
            GTEST_SKIP() << "run by the Windows build's CTest, which names Wine and its prefix";
        ::setenv("WINEPREFIX", Env("VOSTREL_WINE_PREFIX").c_str(), 1);
        ::setenv("WINEDEBUG", "-all", 1);
    }

    // Runs a Windows program under Wine.
    static std::unique_ptr<Subprocess> Wine(std::vector<std::string> args,
                                            const Streams& streams = {}) {
        args.insert(args.begin(), Env("VOSTREL_WINE_LOADER"));
        return std::make_unique<Subprocess>(args, streams);
    }
    std::unique_ptr<Subprocess> Peer(const std::string& scenario, int com) {
        return Wine({Env("VOSTREL_PORT_PEER"), scenario, std::to_string(com)});
    }

    // The next line the program prints (Wine ends lines with CR LF).
    static std::string Line(Subprocess& p, std::chrono::milliseconds timeout = 15s) {
        auto line = p.ReadLine(timeout);
        if (!line) return "(no line)";
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return *line;
    }
    // Reads lines until one starts with `prefix`; returns it, or what came.
    static std::string LineStarting(Subprocess& p, const std::string& prefix) {
        std::string seen;
        for (int i = 0; i < 20; ++i) {
            const std::string l = Line(p);
            if (l.rfind(prefix, 0) == 0) return l;
            seen += l + " | ";
            if (l == "(no line)") break;
        }
        return seen;
    }
};

// A packet the brick sends: MESSAGEWRITE of `text` (and its NUL) to `box`.
std::string BrickPacket(int box, const std::string& text) {
    std::string telegram =
        "\x80\x09"s + static_cast<char>(box) + static_cast<char>(text.size() + 1) + text + '\0';
    return static_cast<char>(telegram.size()) + "\0"s + telegram;
}

const std::string kTone = "\x06\x00\x00\x03\xE8\x03\xF4\x01"s;

// The byte at offset i of a long stream, as port_peer makes and checks it.
char StreamByte(std::size_t i) { return static_cast<char>((i * 7) % 251); }

TEST_F(WinePty, ExactBytes) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Failure();
    ComMapping com(11, pty.SlavePath());
    auto peer = Peer("ExactBytes", 11);
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(pty.Read(256, 15s), all);  // every value, unchanged, in order
    pty.Write(std::string(all.rbegin(), all.rend()));
    EXPECT_EQ(LineStarting(*peer, "received"), "received 256 exact");
    EXPECT_EQ(Line(*peer), "done");
    EXPECT_EQ(peer->Wait(15s), 0);
}

TEST_F(WinePty, SplitAndJoined) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Failure();
    ComMapping com(12, pty.SlavePath());
    auto peer = Peer("SplitAndJoined", 12);
    EXPECT_EQ(pty.Read(8, 15s), kTone);
    EXPECT_EQ(Line(*peer), "connected");
    const std::string first = BrickPacket(1, "first");
    pty.Write(first.substr(0, 5));  // a packet in two pieces
    std::this_thread::sleep_for(60ms);
    pty.Write(first.substr(5));
    pty.Write(BrickPacket(2, "second") + BrickPacket(3, "third"));  // two in one write
    EXPECT_EQ(Line(*peer), "mail 1 first");
    EXPECT_EQ(Line(*peer), "mail 2 second");
    EXPECT_EQ(Line(*peer), "mail 3 third");
    EXPECT_EQ(pty.Read(10, 5s), "\x08\x00\x80\x09\x02\x04"s + "bye\0"s);
    EXPECT_EQ(Line(*peer), "disconnected");
    EXPECT_EQ(Line(*peer), "done");
    EXPECT_EQ(peer->Wait(15s), 0);
}

TEST_F(WinePty, HangUpPort) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Failure();
    ComMapping com(17, pty.SlavePath());
    auto peer = Peer("HangUpPort", 17);
    ASSERT_EQ(Line(*peer), "open");
    pty.Write("x");
    std::this_thread::sleep_for(100ms);
    pty.HangUp();
    const std::string report = LineStarting(*peer, "hung up");
    std::cout << report << "\n";
    EXPECT_EQ(report.rfind("hung up", 0), 0u) << report;
    EXPECT_EQ(Line(*peer), "done");
    EXPECT_EQ(peer->Wait(15s), 0);
}

TEST_F(WinePty, HangUpControl) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Failure();
    ComMapping com(13, pty.SlavePath());
    auto peer = Peer("HangUpControl", 13);
    EXPECT_EQ(pty.Read(8, 15s), kTone);
    pty.HangUp();
    EXPECT_EQ(Line(*peer), "connected");
    const std::string report = LineStarting(*peer, "noping");
    std::cout << report << "\n";
    EXPECT_EQ(report.rfind("noping", 0), 0u) << report;
    EXPECT_EQ(Line(*peer), "disconnected");
    EXPECT_EQ(Line(*peer), "done");
    EXPECT_EQ(peer->Wait(15s), 0);
}

TEST_F(WinePty, StalledLine) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Failure();
    ComMapping com(20, pty.SlavePath());
    auto peer = Peer("StalledLine", 20);
    const std::string report = LineStarting(*peer, "accepted");  // the far end reads nothing
    std::cout << report << "\n";
    std::size_t accepted = 0, lost = 0;
    ASSERT_EQ(std::sscanf(report.c_str(), "accepted %zu lost %zu", &accepted, &lost), 2) << report;
    std::string got;
    for (std::string more; !(more = pty.Read(1 << 20, 300ms)).empty();) got += more;
    // What came is the start of what was accepted, in order; the rest was counted.
    std::string expected;
    for (std::size_t i = 0; expected.size() < accepted; ++i)
        expected += std::string(1000, static_cast<char>('a' + i % 26));
    EXPECT_EQ(got.size() + lost, accepted);
    EXPECT_EQ(got, expected.substr(0, got.size()));
    EXPECT_EQ(Line(*peer), "done");
    EXPECT_EQ(peer->Wait(15s), 0);
}

TEST_F(WinePty, Backlog) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Failure();
    ComMapping com(21, pty.SlavePath());
    auto peer = Peer("Backlog", 21);
    ASSERT_EQ(Line(*peer), "open");
    std::string stream(4 * 64 * 1024, '\0');
    for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = StreamByte(i);
    std::atomic<bool> done{false};
    std::thread writer([&] {  // waits while the line is full, until the report came
        for (std::size_t at = 0; at < stream.size() && !done;) {
            const ssize_t n = ::write(pty.Master(), stream.data() + at, stream.size() - at);
            if (n > 0) {
                at += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return;  // the peer closed the line
            } else {
                pollfd p{pty.Master(), POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    });
    const std::string report = LineStarting(*peer, "received");
    done = true;
    writer.join();
    EXPECT_EQ(report, "received 262144, in order 262144");
    EXPECT_EQ(Line(*peer), "done");
    EXPECT_EQ(peer->Wait(15s), 0);
}

TEST_F(WinePty, StallThenRead) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Failure();
    ComMapping com(23, pty.SlavePath());
    auto peer = Peer("StallThenRead", 23);
    ASSERT_EQ(Line(*peer), "stalled");
    std::string got;
    std::atomic<bool> done{false};
    std::thread reader([&] {  // reads until the report came, and what is left
        while (!done) got += pty.Read(1 << 20, 100ms);
        for (std::string more; !(more = pty.Read(1 << 20, 300ms)).empty();) got += more;
    });
    const std::string report = LineStarting(*peer, "sent");
    done = true;
    reader.join();
    EXPECT_EQ(report, "sent " + std::to_string(got.size()));
    std::size_t inOrder = 0;
    while (inOrder < got.size() && got[inOrder] == StreamByte(inOrder)) ++inOrder;
    EXPECT_EQ(inOrder, got.size());
    EXPECT_EQ(Line(*peer), "done");
    EXPECT_EQ(peer->Wait(15s), 0);
}

// The line's settings as the far end sees them.
::termios SlaveSettings(const std::string& path) {
    ::termios t{};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        ::tcgetattr(fd, &t);
        ::close(fd);
    }
    return t;
}

TEST_F(WinePty, LineSettings) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Failure();
    ComMapping com(22, pty.SlavePath());
    auto peer = Peer("LineSettings", 22);
    ASSERT_EQ(Line(*peer), "set 19200,n,8,2");
    ::termios t = SlaveSettings(pty.SlavePath());
    EXPECT_EQ(::cfgetospeed(&t), B19200);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP));  // raw
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_oflag & OPOST);
    peer->Write("go\n");
    const std::string refused = Line(*peer);
    EXPECT_EQ(refused.rfind("refused: the device did not take the line settings (data bits 7", 0),
              0u)
        << refused;
    t = SlaveSettings(pty.SlavePath());  // as it was
    EXPECT_EQ(::cfgetospeed(&t), B19200);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    peer->Write("go\n");
    EXPECT_EQ(Line(*peer), "done");
    EXPECT_EQ(peer->Wait(15s), 0);
}

TEST_F(WinePty, Exclusive) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Failure();
    ComMapping com(14, pty.SlavePath());
    auto peer = Peer("Exclusive", 14);
    EXPECT_EQ(Line(*peer, 30s), "refused while held");
    EXPECT_EQ(Line(*peer, 30s), "opened once released");
    EXPECT_EQ(Line(*peer), "done");
    EXPECT_EQ(peer->Wait(15s), 0);
}

TEST_F(WinePty, Watchdog) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Failure();
    ComMapping com(15, pty.SlavePath());
    auto peer = Peer("Watchdog", 15);
    const std::string ticks = LineStarting(*peer, "ticks");
    std::cout << ticks << "\n";
    EXPECT_EQ(ticks.rfind("ticks 4", 0), 0u) << ticks;
    const std::string idle = LineStarting(*peer, "idle");
    std::cout << idle << "\n";
    EXPECT_EQ(idle.rfind("idle", 0), 0u) << idle;
    EXPECT_EQ(Line(*peer), "done");
    EXPECT_EQ(peer->Wait(15s), 0);
}

TEST_F(WinePty, ListenJson) {
    if (Env("VOSTREL_WIN_TOOL").empty()) GTEST_SKIP() << "no vostrel.exe in this build";
    sim::BrickOptions options;
    options.program.echoInboxes = {1};
    sim::SimulatedBrick brick(options);
    ComMapping com(16, brick.DevicePath());
    auto tool = Wine({Env("VOSTREL_WIN_TOOL"), "listen", "--json", "-p", "16"});
    auto eventOf = [](Subprocess& p) {
        const std::string l = Line(p);
        auto j = nlohmann::json::parse(l, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << l;
        return j;
    };
    auto event = [&] { return eventOf(*tool); };
    nlohmann::json j = event();
    EXPECT_EQ(j["event"], "connect");
    EXPECT_EQ(j["result"], 0);
    EXPECT_EQ(j["status"], "No errores");
    tool->Write("text 1 hi\n");
    j = event();
    EXPECT_EQ(j["event"], "sent");
    EXPECT_EQ(j["result"], 0);
    j = event();
    EXPECT_EQ(j["event"], "mail");
    EXPECT_EQ(j["mailbox"], 1);
    EXPECT_EQ(j["text"], "got hi");
    EXPECT_EQ(j["hex"], "676f7420686900");
    EXPECT_EQ(brick.Status().StoredFor(1).size(), 1u);
    tool->Write("quit\n");
    j = event();
    EXPECT_EQ(j["event"], "disconnect");
    EXPECT_EQ(j["result"], 0);
    EXPECT_EQ(tool->Wait(15s), 0);

    // A reader that went away (`| head -1`): the system's own reason.
    Streams apart;
    apart.stderrApart = true;
    auto cut = Wine({Env("VOSTREL_WIN_TOOL"), "listen", "--json", "-p", "16"}, apart);
    EXPECT_EQ(eventOf(*cut)["event"], "connect");
    cut->CloseStdout();
    cut->Write("read 1\n");
    EXPECT_EQ(cut->Wait(15s), 1);
    const std::string why = cut->ReadStderr(15s);
    EXPECT_NE(why.find("cannot write standard output: Win32 error"), std::string::npos) << why;
}

// The tool's Windows-only faces: ports from the registry's device map,
// the pseudo-terminal commands refused, a missing port a failure.
TEST_F(WinePty, ToolOnWindows) {
    if (Env("VOSTREL_WIN_TOOL").empty()) GTEST_SKIP() << "no vostrel.exe in this build";
    const std::string key = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    const std::string name = "\\Device\\BthModem7";
    auto reg = Wine({"reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", "COM19", "/f"});
    ASSERT_EQ(reg->Wait(15s), 0);
    auto ports = Wine({Env("VOSTREL_WIN_TOOL"), "ports"});
    const std::string listed = ports->ReadAll(15s);
    EXPECT_EQ(ports->Wait(15s), 0);
    EXPECT_NE(listed.find("COM19  bluetooth (BthModem7)  port 19"), std::string::npos) << listed;
    // A reader that went away: the system's own reason, not the C library's.
    Streams apart;
    apart.stderrApart = true;
    auto cut = Wine({Env("VOSTREL_WIN_TOOL"), "ports"}, apart);
    cut->CloseStdout();
    EXPECT_EQ(cut->Wait(15s), 1);
    const std::string why = cut->ReadStderr(15s);
    EXPECT_NE(why.find("cannot write standard output: Win32 error"), std::string::npos) << why;
    Wine({"reg", "delete", key, "/v", name, "/f"})->Wait(15s);

    for (const char* command : {"sim", "demo"}) {
        auto p = Wine({Env("VOSTREL_WIN_TOOL"), command});
        const std::string said = p->ReadAll(15s);
        EXPECT_EQ(p->Wait(15s), 2) << command;
        EXPECT_NE(said.find("needs a pseudo-terminal"), std::string::npos) << said;
    }
    auto send = Wine({Env("VOSTREL_WIN_TOOL"), "send", "-p", "18", "-m", "1", "-t", "hi"});
    EXPECT_NE(send->ReadAll(15s).find("Connection error"), std::string::npos);
    EXPECT_EQ(send->Wait(15s), 1);
}

}  // namespace
}  // namespace vostrel::testing
