// The Windows loops: delivery on the owning thread through its message
// queue, fixed-deadline timers, and the console pump's members.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "vostrel/platform.hpp"

namespace vostrel::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Pumps the calling thread's messages for `d`, as a form's loop would.
void Pump(std::chrono::milliseconds d) {
    const auto end = Clock::now() + d;
    while (Clock::now() < end) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

TEST(WindowLoop, WorkPostedFromAnotherThreadRunsOnTheOwnerOnlyWhenItPumps) {
    WindowLoop loop;
    const DWORD owner = ::GetCurrentThreadId();
    std::vector<DWORD> ranOn;
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) loop.post([&] { ranOn.push_back(::GetCurrentThreadId()); });
    });
    worker.join();
    EXPECT_TRUE(ranOn.empty());  // nothing runs until the thread pumps
    Pump(50ms);
    ASSERT_EQ(ranOn.size(), 3u);
    for (DWORD id : ranOn) EXPECT_EQ(id, owner);
}

TEST(WindowLoop, RepeatingTimerKeepsFixedDeadlinesAndStopsWhenCancelledInItsTick) {
    WindowLoop loop;
    const auto start = loop.Now();
    std::vector<Clock::time_point> ticks;
    EventLoop::Id id = 0;
    id = loop.StartTimer(start + 40ms, 40ms, [&] {
        ticks.push_back(Clock::now());
        if (ticks.size() == 5) loop.CancelTimer(id);
    });
    int once = 0;
    loop.StartTimer(start + 10ms, Clock::duration::zero(), [&] { ++once; });
    Pump(400ms);
    EXPECT_EQ(once, 1);
    ASSERT_EQ(ticks.size(), 5u);
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        const auto due = start + 40ms * static_cast<int>(i + 1);
        EXPECT_GE(ticks[i], due) << "tick " << i << " early";
        // One system timer tick late at most, never accumulating.
        EXPECT_LT(ticks[i] - due, 100ms) << "tick " << i;
    }
}

TEST(WindowLoop, ExceptionOfACallbackIsKeptNotThrownThroughTheWindow) {
    WindowLoop loop;
    int after = 0;
    loop.post([] { throw std::runtime_error("boom"); });
    loop.post([&] { ++after; });
    Pump(50ms);
    EXPECT_EQ(after, 1);  // the rest ran at the next delivery
    std::exception_ptr e = loop.TakeFailure();
    ASSERT_TRUE(e);
    EXPECT_THROW(std::rethrow_exception(e), std::runtime_error);
    EXPECT_FALSE(loop.TakeFailure());
}

// A host's handler that shows a message box pumps the thread's messages
// inside the callback: the loop's next notifications wait until it returns.
TEST(WindowLoop, ACallbackThatPumpsMessagesHasNothingOfTheLoopRunInsideIt) {
    WindowLoop loop;
    std::vector<std::string> order;
    bool inside = false;
    loop.post([&] {
        inside = true;
        order.push_back("modal begins");
        loop.post([&] { order.push_back(inside ? "posted, inside" : "posted, after"); });
        loop.StartTimer(loop.Now(), Clock::duration::zero(),
                        [&] { order.push_back(inside ? "timer, inside" : "timer, after"); });
        loop.StartTimer(loop.Now() + 20ms, Clock::duration::zero(), [&] {
            order.push_back(inside ? "late timer, inside" : "late timer, after");
        });
        const std::uint64_t before = loop.Deliveries();
        Pump(150ms);  // the message box
        order.push_back("modal ends, deliveries inside " +
                        std::to_string(loop.Deliveries() - before));
        inside = false;
    });
    Pump(200ms);
    const std::vector<std::string> expected{"modal begins", "modal ends, deliveries inside 0",
                                            "timer, after", "late timer, after", "posted, after"};
    std::vector<std::string> sorted = order;
    // Timers and posted work keep no order among themselves; each came after.
    ASSERT_EQ(order.size(), expected.size());
    EXPECT_EQ(order[0], expected[0]);
    EXPECT_EQ(order[1], expected[1]);
    std::sort(sorted.begin() + 2, sorted.end());
    std::vector<std::string> rest(expected.begin() + 2, expected.end());
    std::sort(rest.begin(), rest.end());
    EXPECT_EQ(std::vector<std::string>(sorted.begin() + 2, sorted.end()), rest);
}

// A host may drop the last thing that keeps a loop inside one of its
// callbacks (a control releasing itself from an event handler).
TEST(WindowLoop, DestroyedByItsOwnCallbackRunsNothingMoreAndRemovesItsWindow) {
    auto* loop = new WindowLoop;
    const HWND window = static_cast<HWND>(loop->Window());
    int after = 0;
    loop->post([&] { delete loop; });
    loop->post([&] { ++after; });
    loop->StartTimer(loop->Now(), 10ms, [&] { ++after; });  // due behind the posted work
    Pump(100ms);
    EXPECT_EQ(after, 0);
    EXPECT_FALSE(::IsWindow(window));
    WindowLoop again;  // the class is still usable
    int ran = 0;
    again.post([&] { ++ran; });
    Pump(50ms);
    EXPECT_EQ(ran, 1);
}

TEST(DefaultLoop, StopFromAnotherThreadEndsRunAndAnEarlyStopEndsTheNextRun) {
    DefaultLoop loop;
    loop.stop();
    const auto t0 = Clock::now();
    loop.run();  // returns at once
    EXPECT_LT(Clock::now() - t0, 500ms);

    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        loop.stop();
    });
    loop.run();
    stopper.join();
    EXPECT_GE(Clock::now() - t0, 40ms);
}

TEST(DefaultLoop, RunForReturnsOnTimeAndAThrowingCallbackLeavesRun) {
    DefaultLoop loop;
    int ran = 0;
    loop.post([] { throw std::logic_error("x"); });
    loop.post([&] { ++ran; });
    EXPECT_THROW(loop.run_for(500ms), std::logic_error);
    loop.run_for(30ms);  // the loop goes on: the second one runs now
    EXPECT_EQ(ran, 1);

    const auto t0 = Clock::now();
    loop.run_for(60ms);
    const auto took = Clock::now() - t0;
    EXPECT_GE(took, 55ms);
    EXPECT_LT(took, 500ms);
}

TEST(DefaultLoop, AnIdleLoopSleepsUntilItsTimer) {
    DefaultLoop loop;
    int ticks = 0;
    loop.StartTimer(loop.Now() + 100ms, 100ms, [&] {
        if (++ticks == 4) loop.stop();
    });
    const std::uint64_t before = loop.Wakeups();
    loop.run_for(3000ms);
    EXPECT_EQ(ticks, 4);
    // A wake-up per tick, and a few for the run's own end; no polling.
    EXPECT_LE(loop.Wakeups() - before, 10u);
}

TEST(LoopTimerOnWindows, EnablingAgainRestartsTheCount) {
    DefaultLoop loop;
    LoopTimer timer(loop);
    std::vector<Clock::time_point> ticks;
    timer.OnTimer([&] { ticks.push_back(Clock::now()); });
    timer.Interval(150);
    timer.Enabled(kTrue);
    loop.run_for(100ms);
    const auto restart = Clock::now();
    timer.Enabled(kFalse);
    timer.Enabled(kTrue);  // counts a full interval from here: ticks at +150, +300
    loop.run_for(250ms);
    ASSERT_EQ(ticks.size(), 1u);
    EXPECT_GE(ticks[0] - restart, 150ms);
    timer.Enabled(kFalse);
    loop.run_for(350ms);
    EXPECT_EQ(ticks.size(), 1u);
}

}  // namespace
}  // namespace vostrel::platform
