// The simulated brick on a real pseudo-terminal: the test plays the host on
// the slave side, or gives the brick a device path of its own pty pair.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/simulated_brick.hpp"
#include "sim/wire.hpp"
#include "testsupport/pty_pair.hpp"

namespace vostrel::sim {
namespace {

using namespace std::string_literals;
using std::chrono::milliseconds;

// The host's end of the line: the slave opened raw, read with a deadline.
class HostEnd {
public:
    explicit HostEnd(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    explicit HostEnd(int fd) : fd_(fd), owned_(false) {}
    ~HostEnd() {
        if (owned_ && fd_ >= 0) ::close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    void Write(const std::string& s) { ASSERT_EQ(::write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    // Reads until `n` bytes came or 5 s passed; records how many reads it took.
    std::string Read(std::size_t n, milliseconds timeout = milliseconds(5000)) {
        std::string out;
        const auto deadline = Clock::now() + timeout;
        while (out.size() < n && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 20);
            char buf[256];
            const ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (r > 0) {
                out.append(buf, static_cast<std::size_t>(r));
                ++reads;
            }
        }
        return out;
    }
    int reads = 0;

private:
    int fd_ = -1;
    bool owned_ = true;
};

TEST(SimulatedBrick, AnswersTheToneAndStoresMessagesSentInPieces) {
    SimulatedBrick brick;
    HostEnd host(brick.DevicePath());
    ASSERT_TRUE(host.Ok());
    host.Write("\x06\x00\x00\x03"s);
    host.Write("\xE8\x03\xF4\x01"s);
    EXPECT_EQ(host.Read(5), "\x03\x00\x02\x03\x00"s);
    host.Write("\x0A\x00\x80\x09\x03\x06hello\x00\x02\x00\x00\x0D"s);
    EXPECT_EQ(host.Read(9), "\x07\x00\x02\x0D\x00\xC0\x27\x09\x00"s);
    const BrickStatus s = brick.Status();
    EXPECT_EQ(s.tones, std::vector<Tone>{(Tone{1000, 500})});
    EXPECT_EQ(s.StoredFor(3), std::vector<std::string>{"hello\0"s});
    EXPECT_EQ(s.keepAlives, 1);
    EXPECT_EQ(brick.Inbox(3).size(), 1u);
}

TEST(SimulatedBrick, KeepAliveQueriesEchoesAndToneReports) {
    BrickOptions o;
    o.program.pingEvery = milliseconds(20);
    o.program.pingInbox = 0;
    o.program.echoInboxes = {1};
    o.program.toneReportInbox = 2;
    SimulatedBrick brick(o);
    HostEnd host(brick.DevicePath());
    // Queries keep coming; each correct answer is counted.
    const std::string query = Frame(MessageTelegram(0, "?"));
    EXPECT_EQ(host.Read(query.size()), query);
    host.Write(Frame(MessageTelegram(0, "!")));
    EXPECT_TRUE(brick.WaitUntil([](const BrickStatus& s) { return s.pingAnswers == 1; }, milliseconds(5000)));
    EXPECT_GE(brick.Status().pingsSent, 1);
    host.Write("\x06\x00\x80\x03\xE8\x03\xF4\x01"s + Frame(MessageTelegram(1, "hi")));
    const std::string want = Frame(MessageTelegram(2, "tone 1000 Hz 500 ms")) + Frame(MessageTelegram(1, "got hi"));
    std::string got;
    // Queries may come in between; keep only the other packets.
    PacketReader r;
    for (int i = 0; i < 50 && got.size() < want.size(); ++i)
        for (auto& t : r.Feed(host.Read(1, milliseconds(200))))
            if (t != MessageTelegram(0, "?")) got += Frame(t);
    EXPECT_EQ(got, want);
}

TEST(SimulatedBrick, RefusesMessagesWithoutAProgram) {
    BrickOptions o;
    o.programRunning = false;
    SimulatedBrick brick(o);
    HostEnd host(brick.DevicePath());
    host.Write(Frame("\x00\x09\x01\x02x\x00"s));
    EXPECT_EQ(host.Read(5), "\x03\x00\x02\x09\xEC"s);
    brick.StartProgram();
    host.Write(Frame("\x00\x09\x01\x02x\x00"s));
    EXPECT_EQ(host.Read(5), "\x03\x00\x02\x09\x00"s);
}

TEST(SimulatedBrickFaults, SplitJoinedGarbageSilenceAndHangUp) {
    SimulatedBrick brick;
    HostEnd host(brick.DevicePath());
    const std::string a = Frame(MessageTelegram(1, "split me"));
    brick.SendText(1, "split me", {3, milliseconds(30)});
    EXPECT_EQ(host.Read(a.size()), a);
    EXPECT_GE(host.reads, 3);  // the gaps kept the pieces apart

    const std::string b = Frame(MessageTelegram(1, "A")) + Frame(MessageTelegram(2, "B"));
    brick.SendJoined({MessageTelegram(1, "A"), MessageTelegram(2, "B")});
    EXPECT_EQ(host.Read(b.size()), b);
    brick.SendGarbage("\xFF\x01\x02"s);
    EXPECT_EQ(host.Read(3), "\xFF\x01\x02"s);

    brick.GoSilent(milliseconds(100));
    EXPECT_TRUE(brick.WaitUntil([](const BrickStatus& s) { return s.silent; }, milliseconds(5000)));
    host.Write("\x02\x00\x00\x0D"s);  // its reply is lost in the silence
    brick.SendText(1, "lost");
    EXPECT_TRUE(brick.WaitUntil([](const BrickStatus& s) { return !s.silent; }, milliseconds(5000)));
    brick.SendText(1, "back");
    const std::string back = Frame(MessageTelegram(1, "back"));
    EXPECT_EQ(host.Read(back.size()), back);
    EXPECT_GT(brick.Status().bytesDropped, 0u);

    brick.HangUp();
    EXPECT_TRUE(brick.Status().hungUp);
}

TEST(SimulatedBrickFaults, HangUpIsSeenByTheHost) {
    SimulatedBrick brick;
    const int fd = ::open(brick.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    brick.HangUp();
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    ::close(fd);
}

TEST(SimulatedBrick, RunsOnADevicePathItIsGiven) {
    testing::PtyPair pair;
    ASSERT_TRUE(pair.Ok()) << pair.Failure();
    BrickOptions o;
    o.device = pair.SlavePath();
    SimulatedBrick brick(o);
    EXPECT_EQ(brick.DevicePath(), pair.SlavePath());
    pair.Write("\x06\x00\x00\x03\xE8\x03\xF4\x01"s);
    EXPECT_EQ(pair.Read(5), "\x03\x00\x02\x03\x00"s);
    BrickOptions missing;
    missing.device = "/nonexistent/tty";
    EXPECT_THROW(SimulatedBrick{missing}, std::system_error);
}

TEST(SimulatedBrick, ServesAConnectedSocketItIsGivenAndSeesItsHostLeave) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    BrickOptions o;
    o.line = sv[0];
    o.device = "00:AA:01:01:00:01";
    o.program.pingEvery = milliseconds(0);
    SimulatedBrick brick(o);
    EXPECT_EQ(brick.DevicePath(), "00:AA:01:01:00:01") << "the name it was given";
    HostEnd host(sv[1]);
    host.Write("\x06\x00\x00\x03\xE8\x03\xF4\x01"s);
    EXPECT_EQ(host.Read(5), "\x03\x00\x02\x03\x00"s);
    ::close(sv[1]);
    EXPECT_TRUE(brick.WaitUntil([](const BrickStatus& s) { return s.hungUp; }, milliseconds(5000)))
        << "the host left";
}

}  // namespace
}  // namespace vostrel::sim
