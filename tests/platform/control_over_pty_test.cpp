// The control on the real serial port, timer and default loop, with the
// test playing the brick on the far end of a pseudo-terminal.
#include "testsupport/recording_host.hpp"
#include "tests/platform/platform_test_support.hpp"

using namespace std::chrono_literals;
using vostrel::Integer;
using vostrel::String;
using vostrel::Vostrel;
using vostrel::platform::DefaultLoop;
using vostrel::platform::PortMap;
using vostrel::testing::BrickText;
using vostrel::testing::kEcho;
using vostrel::testing::kQuery;
using vostrel::testing::kTone;
using vostrel::testing::PtyPair;
using vostrel::testing::RecordingHost;
using vostrel::testing::RecordingSink;
using vostrel::testing::RunUntil;
using Event = RecordingSink::Event;

class ControlOverPty : public ::testing::Test {
protected:
    void SetUp() override {
        VOSTREL_NEED_PTY(pty);
        ports.Map(5, pty.SlavePath());
        nxt = vostrel::platform::MakeControl(loop, &host, ports);
        nxt->SetEventSink(&sink);
    }
    void Connect() {
        ASSERT_EQ(nxt->ConnectNXT(5, 9600), 0) << nxt->ErrorMessage();
        ASSERT_EQ(pty.Read(kTone.size()), kTone);
    }
    // Runs the loop until the far end has read `n` bytes (or gives up).
    String FarEndReads(std::size_t n) {
        String got;
        RunUntil(loop, [&] {
            got += pty.ReadAvailable();
            return got.size() >= n;
        });
        return got;
    }
    std::size_t Mails() const { return sink.Count(Event::NewMail); }

    PtyPair pty;
    DefaultLoop loop;
    RecordingHost host;
    RecordingSink sink;
    PortMap ports;
    std::unique_ptr<Vostrel> nxt;
};

TEST_F(ControlOverPty, MadeControlIsInitialisedAndClosed) {
    EXPECT_EQ(nxt->PingNXT(), vostrel::kTrue);
    EXPECT_EQ(nxt->Connection(), vostrel::kFalse);
    EXPECT_EQ(nxt->Comm1().PortOpen(), vostrel::kFalse);
    EXPECT_EQ(nxt->PingTimer().Enabled(), vostrel::kFalse);
}

TEST_F(ControlOverPty, TextFromTheBrickReachesItsMailbox) {
    Connect();
    pty.Write(BrickText(1, "world"));
    ASSERT_TRUE(RunUntil(loop, [&] { return Mails() == 1; }));
    EXPECT_EQ(sink.events[0], (Event{Event::NewMail, 1}));
    Integer box = 1;
    EXPECT_EQ(nxt->ReadText(box), String("world") + '\0');
}

TEST_F(ControlOverPty, KeepAliveQueryIsEchoedExactly) {
    Connect();
    pty.Write(kQuery);
    EXPECT_EQ(FarEndReads(kEcho.size()), kEcho);
    EXPECT_EQ(Mails(), 0u);
}

TEST_F(ControlOverPty, PacketSplitByTheLineIsReceivedWhole) {
    Connect();
    const String msg = BrickText(2, "split here");
    pty.Write(msg.substr(0, 5));
    loop.run_for(10ms);  // the port takes the first part on its own
    EXPECT_EQ(Mails(), 0u);
    pty.Write(msg.substr(5));
    ASSERT_TRUE(RunUntil(loop, [&] { return Mails() == 1; }));
    Integer box = 2;
    EXPECT_EQ(nxt->ReadText(box), String("split here") + '\0');
}

TEST_F(ControlOverPty, PacketsJoinedInOneReadAreEachFiled) {
    Connect();
    pty.Write(BrickText(1, "A") + BrickText(2, "B") + kQuery);
    ASSERT_TRUE(RunUntil(loop, [&] { return Mails() == 2; }));
    EXPECT_EQ(sink.events[0], (Event{Event::NewMail, 1}));
    EXPECT_EQ(sink.events[1], (Event{Event::NewMail, 2}));
    EXPECT_EQ(FarEndReads(kEcho.size()), kEcho);
}

TEST_F(ControlOverPty, SecondControlOnTheSameDeviceGetsConnectionError) {
    Connect();
    auto other = vostrel::platform::MakeControl(loop, &host, ports);
    EXPECT_EQ(other->ConnectNXT(5, 9600), 1);
    EXPECT_EQ(other->ErrorMessage(), "Connection error");
    EXPECT_EQ(other->Connection(), vostrel::kFalse);
    EXPECT_EQ(other->Comm1().PortOpen(), vostrel::kFalse);
    // The first link is untouched.
    pty.Write(BrickText(0, "still here"));
    EXPECT_TRUE(RunUntil(loop, [&] { return Mails() == 1; }));
}

TEST_F(ControlOverPty, MissingDeviceOrBadSpeedFailsTheConnect) {
    EXPECT_EQ(nxt->ConnectNXT(Integer(-1), 9600), 1);
    EXPECT_EQ(nxt->ErrorMessage(), "Connection error");
    EXPECT_EQ(nxt->ConnectNXT(5, 0), 1);
    EXPECT_EQ(nxt->ConnectNXT(5, -300), 1);
    EXPECT_EQ(nxt->Comm1().PortOpen(), vostrel::kFalse);
    EXPECT_EQ(nxt->PingTimer().Enabled(), vostrel::kFalse);
}

TEST_F(ControlOverPty, FarEndHangUpEndsInNoPingAndACleanDisconnect) {
    Connect();
    nxt->PingTimer().Interval(30);  // the watchdog, shortened on the component
    pty.HangUp();
    // The hang-up is one notification, then silence: NoPing.
    ASSERT_TRUE(RunUntil(loop, [&] { return sink.Count(Event::NoPing) >= 1; }));
    EXPECT_EQ(nxt->ErrorMessage(), "Ping error");
    // No busy loop: over 100 ms the loop wakes for the watchdog's ticks, not
    // for the dead line (a spinning loop wakes thousands of times).
    const auto before = loop.Wakeups();
    loop.run_for(100ms);
    EXPECT_LE(loop.Wakeups() - before, 10u);
    EXPECT_GE(sink.Count(Event::NoPing), 2u);
    EXPECT_EQ(nxt->DisconnectNXT(), 0);
    EXPECT_EQ(nxt->ErrorMessage(), "No errores");
    EXPECT_EQ(nxt->Comm1().PortOpen(), vostrel::kFalse);
    EXPECT_EQ(nxt->PingTimer().Enabled(), vostrel::kFalse);
}

TEST_F(ControlOverPty, ReconnectAfterDisconnectWorks) {
    Connect();
    EXPECT_EQ(nxt->DisconnectNXT(), 0);
    Connect();
    pty.Write(BrickText(4, "again"));
    EXPECT_TRUE(RunUntil(loop, [&] { return Mails() == 1; }));
}
