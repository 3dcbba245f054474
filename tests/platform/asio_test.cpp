// The Asio adapter driving the same control over a pseudo-terminal, with
// the host's io_context as the only loop.
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "testsupport/memory_loop.hpp"
#include "testsupport/recording_host.hpp"
#include "tests/platform/platform_test_support.hpp"
#include "vostrel/asio_loop.hpp"

using namespace std::chrono_literals;
using vostrel::Integer;
using vostrel::String;
using vostrel::platform::AsioLoop;
using vostrel::testing::BrickText;
using vostrel::testing::kEcho;
using vostrel::testing::kQuery;
using vostrel::testing::kTone;
using vostrel::testing::PtyPair;
using vostrel::testing::RecordingSink;
using Event = RecordingSink::Event;

class AsioControl : public ::testing::Test {
protected:
    void SetUp() override {
        VOSTREL_NEED_PTY(pty);
        vostrel::platform::PortMap ports;
        ports.Map(5, pty.SlavePath());
        nxt = vostrel::platform::MakeControl(loop, nullptr, ports);
        nxt->SetEventSink(&sink);
        ASSERT_EQ(nxt->ConnectNXT(5, 9600), 0);
        ASSERT_EQ(pty.Read(kTone.size()), kTone);
    }
    // Runs the io_context in slices until `done` holds (a hang guard only).
    bool RunUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 1000 && !done(); ++i) {
            io.restart();
            io.run_for(5ms);
        }
        return done();
    }
    PtyPair pty;
    asio::io_context io;
    AsioLoop loop{io};
    RecordingSink sink;
    std::unique_ptr<vostrel::Vostrel> nxt;
};

TEST_F(AsioControl, TextsAndKeepAliveQueriesFlowThroughTheHostsContext) {
    pty.Write(BrickText(3, "asio"));
    ASSERT_TRUE(RunUntil([&] { return sink.Count(Event::NewMail) == 1; }));
    Integer box = 3;
    EXPECT_EQ(nxt->ReadText(box), String("asio") + '\0');
    // Many round trips: each query's bytes come while the adapter re-arms.
    for (int i = 0; i < 50; ++i) {
        pty.Write(kQuery);
        String echo;
        ASSERT_TRUE(RunUntil([&] {
            echo += pty.ReadAvailable();
            return echo.size() >= kEcho.size();
        })) << "round trip " << i;
        EXPECT_EQ(echo, kEcho);
    }
}

TEST_F(AsioControl, WatchdogTicksAndHangUpDoesNotSpin) {
    nxt->PingTimer().Interval(20);
    pty.HangUp();
    ASSERT_TRUE(RunUntil([&] { return sink.Count(Event::NoPing) >= 2; }));
    // A spinning watch would keep the context busy: count the handlers run
    // in 60 ms (the watchdog's ticks only).
    io.restart();
    const auto handlers = io.run_for(60ms);
    EXPECT_LE(handlers, 6u);
    EXPECT_EQ(nxt->DisconnectNXT(), 0);
    EXPECT_EQ(nxt->PingTimer().Enabled(), vostrel::kFalse);
}

TEST(AsioLoop, CancelledAndRestartedTimersBehaveLikeTheDefaultLoops) {
    asio::io_context io;
    AsioLoop loop(io);
    vostrel::platform::LoopTimer timer(loop);
    timer.Interval(10);
    std::vector<AsioLoop::TimePoint> ticks;
    timer.OnTimer([&] { ticks.push_back(loop.Now()); });
    timer.Enabled(vostrel::kTrue);
    io.run_for(5ms);
    const auto restart = loop.Now();
    // A loaded machine may have let the first run take 10 ms: its tick is
    // not the restart's. One still due from before would come after this.
    ticks.clear();
    timer.Enabled(vostrel::kTrue);
    for (int i = 0; i < 200 && ticks.size() < 3; ++i) {
        io.restart();
        io.run_for(5ms);
    }
    timer.Enabled(vostrel::kFalse);
    ASSERT_GE(ticks.size(), 3u);
    EXPECT_GE(ticks[0], restart + 10ms);
    EXPECT_GE(ticks[2], restart + 30ms);
    const auto n = ticks.size();
    io.restart();
    io.run_for(30ms);
    EXPECT_EQ(ticks.size(), n);
}
