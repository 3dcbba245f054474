// The watchdog timer: restart semantics on a manual clock, and real ticks
// on the default loop with a short interval.
#include "testsupport/memory_loop.hpp"
#include "tests/platform/platform_test_support.hpp"

using namespace std::chrono_literals;
using vostrel::Error;
using vostrel::kFalse;
using vostrel::kTrue;
using vostrel::platform::LoopTimer;
using vostrel::testing::MemoryLoop;

class TimerOnManualClock : public ::testing::Test {
protected:
    void SetUp() override {
        timer.Interval(1000);
        timer.OnTimer([this] { ticks.push_back(loop.Now() - start); });
    }
    MemoryLoop loop;
    LoopTimer timer{loop};
    vostrel::platform::EventLoop::TimePoint start = loop.Now();
    std::vector<vostrel::platform::EventLoop::Clock::duration> ticks;
};

TEST_F(TimerOnManualClock, TicksEveryIntervalUntilDisabled) {
    timer.Enabled(kTrue);
    loop.Advance(3500ms);
    EXPECT_EQ(ticks, (decltype(ticks){1000ms, 2000ms, 3000ms}));
    EXPECT_EQ(timer.Enabled(), kTrue);
    timer.Enabled(kFalse);
    loop.Advance(5000ms);
    EXPECT_EQ(ticks.size(), 3u);
    EXPECT_EQ(loop.ActiveTimers(), 0u);
}

TEST_F(TimerOnManualClock, EnablingAgainWhileEnabledCountsFromZero) {
    timer.Enabled(kTrue);
    loop.Advance(700ms);
    timer.Enabled(kTrue);
    loop.Advance(999ms);
    EXPECT_TRUE(ticks.empty());
    loop.Advance(1ms);
    EXPECT_EQ(ticks, (decltype(ticks){1700ms}));
    EXPECT_EQ(loop.ActiveTimers(), 1u) << "the restart left a second timer behind";
}

TEST_F(TimerOnManualClock, DisableThenEnableDelaysTheNextTickAFullInterval) {
    timer.Enabled(kTrue);
    loop.Advance(999ms);
    timer.Enabled(kFalse);
    timer.Enabled(kTrue);
    loop.Advance(999ms);
    EXPECT_TRUE(ticks.empty());
    loop.Advance(1ms);
    EXPECT_EQ(ticks, (decltype(ticks){1999ms}));
}

TEST_F(TimerOnManualClock, HandlerThatRestartsTheTimerGetsAFullInterval) {
    timer.OnTimer([this] {
        ticks.push_back(loop.Now() - start);
        timer.Enabled(kFalse);
        timer.Enabled(kTrue);
    });
    timer.Enabled(kTrue);
    loop.Advance(2500ms);
    EXPECT_EQ(ticks, (decltype(ticks){1000ms, 2000ms}));
}

TEST_F(TimerOnManualClock, IntervalBelowOneIsRefusedAndChangesNothing) {
    for (vostrel::Long bad : {0, -1, -10000}) {
        try {
            timer.Interval(bad);
            ADD_FAILURE() << "interval " << bad << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), vostrel::err::kInvalidPropertyValue);
        }
    }
    EXPECT_EQ(timer.Interval(), 1000);
}

TEST_F(TimerOnManualClock, NewIntervalWhileEnabledCountsFromTheChange) {
    timer.Enabled(kTrue);
    loop.Advance(400ms);
    timer.Interval(200);
    loop.Advance(450ms);
    EXPECT_EQ(ticks, (decltype(ticks){600ms, 800ms}));
}

TEST(TimerOnDefaultLoop, RestartedTimerTicksNoEarlierThanOneIntervalAfterTheRestart) {
    vostrel::platform::DefaultLoop loop;
    LoopTimer timer(loop);
    timer.Interval(20);
    std::vector<vostrel::platform::EventLoop::TimePoint> ticks;
    timer.OnTimer([&] { ticks.push_back(loop.Now()); });
    timer.Enabled(kTrue);
    loop.run_for(10ms);
    const auto restart = loop.Now();
    timer.Enabled(kTrue);
    ASSERT_TRUE(vostrel::testing::RunUntil(loop, [&] { return ticks.size() >= 3; }));
    timer.Enabled(kFalse);
    EXPECT_GE(ticks[0], restart + 20ms);
    EXPECT_GE(ticks[1], restart + 40ms);
    EXPECT_GE(ticks[2], restart + 60ms);
    const auto n = ticks.size();
    loop.run_for(50ms);
    EXPECT_EQ(ticks.size(), n) << "ticked after being disabled";
}
