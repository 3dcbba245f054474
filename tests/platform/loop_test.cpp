// The default loop: posting and stopping from other threads, timers on
// fixed deadlines, watches, and removal from inside callbacks.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "tests/platform/platform_test_support.hpp"

using namespace std::chrono_literals;
using vostrel::platform::DefaultLoop;
using vostrel::testing::RunUntil;

TEST(DefaultLoop, PostFromAnotherThreadWakesTheLoopAndRunsOnIt) {
    DefaultLoop loop;
    std::thread::id ranOn;
    std::vector<int> order;
    std::thread other([&] {
        loop.post([&] { order.push_back(1); });
        loop.post([&] {
            order.push_back(2);
            ranOn = std::this_thread::get_id();
            loop.stop();
        });
    });
    loop.run();  // returns only through the posted stop()
    other.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(DefaultLoop, StopBeforeRunMakesTheNextRunReturnOnce) {
    DefaultLoop loop;
    int ticks = 0;
    loop.stop();
    loop.run();  // would block for ever without the earlier stop
    loop.StartTimer(loop.Now() + 1ms, 0ms, [&] { ++ticks; });
    EXPECT_TRUE(RunUntil(loop, [&] { return ticks == 1; }));  // the stop was used up
}

TEST(DefaultLoop, OneShotAndRepeatingTimersTickInDueOrder) {
    DefaultLoop loop;
    std::vector<char> ticks;
    const auto t0 = loop.Now();
    auto rep = loop.StartTimer(t0 + 2ms, 2ms, [&] { ticks.push_back('r'); });
    loop.StartTimer(t0 + 3ms, 0ms, [&] { ticks.push_back('o'); });
    ASSERT_TRUE(RunUntil(loop, [&] { return ticks.size() >= 3; }));
    loop.CancelTimer(rep);
    const auto n = ticks.size();
    loop.run_for(10ms);
    EXPECT_EQ(ticks.size(), n) << "a cancelled timer ticked";
    ASSERT_GE(ticks.size(), 3u);
    EXPECT_EQ(ticks[0], 'r');
    EXPECT_EQ(ticks[1], 'o');
    EXPECT_EQ(std::count(ticks.begin(), ticks.end(), 'o'), 1);
}

TEST(DefaultLoop, RepeatingTimerKeepsItsFixedDeadlines) {
    DefaultLoop loop;
    std::vector<vostrel::platform::EventLoop::TimePoint> at;
    const auto t0 = loop.Now();
    auto id = loop.StartTimer(t0 + 3ms, 3ms, [&] { at.push_back(loop.Now()); });
    ASSERT_TRUE(RunUntil(loop, [&] { return at.size() >= 4; }));
    loop.CancelTimer(id);
    // Never early: tick k comes at or after its fixed deadline t0 + 3k ms.
    for (std::size_t k = 0; k < at.size(); ++k)
        EXPECT_GE(at[k], t0 + 3ms * static_cast<int>(k + 1));
}

// Far timers wake the loop through a separate precise wake-up that is not
// moved back when a deadline moves later (as the watchdog's does on every
// packet): the early wake-up it then causes must run nothing, and the timer
// still ticks once, not before its due time.
TEST(DefaultLoop, FarTimerMovedLaterTicksOnceAndNotEarly) {
    DefaultLoop loop;
    std::vector<vostrel::platform::EventLoop::TimePoint> at;
    auto id = loop.StartTimer(loop.Now() + 80ms, 0ms, [&] { at.push_back(loop.Now()); });
    loop.run_for(5ms);  // the loop has armed its wake-up for the first due time
    loop.CancelTimer(id);
    const auto due = loop.Now() + 160ms;
    loop.StartTimer(due, 0ms, [&] { at.push_back(loop.Now()); });
    ASSERT_TRUE(RunUntil(loop, [&] { return !at.empty(); }));
    EXPECT_GE(at[0], due);
    loop.run_for(100ms);
    EXPECT_EQ(at.size(), 1u);
}

TEST(DefaultLoop, TimerCancelledByAnotherDueInTheSameTurnDoesNotRun) {
    DefaultLoop loop;
    const auto due = loop.Now() + 1ms;
    bool secondRan = false;
    vostrel::platform::EventLoop::Id second = 0;
    loop.StartTimer(due, 0ms, [&] { loop.CancelTimer(second); });
    second = loop.StartTimer(due + 1ns, 0ms, [&] { secondRan = true; });
    loop.run_for(10ms);
    EXPECT_FALSE(secondRan);
}

TEST(DefaultLoop, RepeatingTimerCanCancelItselfFromItsTick) {
    DefaultLoop loop;
    int ticks = 0;
    vostrel::platform::EventLoop::Id id = 0;
    id = loop.StartTimer(loop.Now() + 1ms, 1ms, [&] {
        ++ticks;
        loop.CancelTimer(id);
    });
    loop.run_for(15ms);
    EXPECT_EQ(ticks, 1);
}

// The timer queue is kept between turns: what it holds must follow every
// start and cancel, in due order, start order among equal deadlines.
TEST(DefaultLoop, TimersWithEqualDeadlinesTickInStartOrder) {
    DefaultLoop loop;
    const auto due = loop.Now() + 2ms;
    std::vector<int> order;
    loop.StartTimer(due + 1ms, 0ms, [&] { order.push_back(99); });
    for (int i = 0; i < 20; ++i) loop.StartTimer(due, 0ms, [&order, i] { order.push_back(i); });
    ASSERT_TRUE(RunUntil(loop, [&] { return order.size() == 21; }));
    std::vector<int> expected;
    for (int i = 0; i < 20; ++i) expected.push_back(i);
    expected.push_back(99);
    EXPECT_EQ(order, expected);
}

TEST(DefaultLoop, TimerCancelledByAnotherWithTheSameDeadlineDoesNotRun) {
    DefaultLoop loop;
    const auto due = loop.Now() + 1ms;
    int ran = 0;
    vostrel::platform::EventLoop::Id second = 0;
    loop.StartTimer(due, 0ms, [&] { loop.CancelTimer(second); });
    second = loop.StartTimer(due, 0ms, [&] { ++ran; });
    loop.StartTimer(due, 0ms, [&] { ++ran; });  // a later one of the same turn still runs
    loop.run_for(10ms);
    EXPECT_EQ(ran, 1);
}

// A cancelled or re-armed timer must leave nothing behind in the queue: a
// stale entry for a past time would make every wait end at once.
TEST(DefaultLoop, CancelledTimersLeaveTheLoopAsleep) {
    DefaultLoop loop;
    bool ticked = false;
    auto a = loop.StartTimer(loop.Now() + 1ms, 1ms, [&] { ticked = true; });
    auto b = loop.StartTimer(loop.Now() + 1ms, 0ms, [&] { ticked = true; });
    loop.CancelTimer(b);
    loop.CancelTimer(b);  // twice: ignored
    loop.CancelTimer(a);
    loop.CancelTimer(12345);  // unknown: ignored
    const auto before = loop.Wakeups();
    loop.run_for(20ms);
    EXPECT_FALSE(ticked);
    EXPECT_LE(loop.Wakeups() - before, 2u) << "the loop spun on a cancelled timer";
}

TEST(DefaultLoop, RepeatingTimerSkipsTicksMissedWhileBusy) {
    DefaultLoop loop;
    std::vector<vostrel::platform::EventLoop::TimePoint> at;
    const auto t0 = loop.Now();
    auto id = loop.StartTimer(t0 + 5ms, 5ms, [&] {
        at.push_back(loop.Now());
        if (at.size() == 1) {  // busy past the deadlines at 10, 15, 20 and 25 ms
            const auto until = t0 + 27ms;
            while (loop.Now() < until) {
            }
        }
    });
    ASSERT_TRUE(RunUntil(loop, [&] { return at.size() >= 4; }));
    loop.CancelTimer(id);
    // One late tick (for 10 ms) once the loop is free; those for 15, 20 and
    // 25 ms are not made up: the next comes at the next fixed deadline.
    EXPECT_GE(at[2], t0 + 30ms);
    EXPECT_GE(at[3], t0 + 35ms);
}

TEST(DefaultLoop, TimerStartedByATickForAPastTimeStillTicksOnce) {
    DefaultLoop loop;
    std::vector<char> order;
    const auto t0 = loop.Now();
    loop.StartTimer(t0 + 1ms, 0ms, [&] {
        order.push_back('a');
        loop.StartTimer(t0, 0ms, [&] { order.push_back('c'); });  // already past
    });
    loop.StartTimer(t0 + 2ms, 0ms, [&] { order.push_back('b'); });
    ASSERT_TRUE(RunUntil(loop, [&] { return order.size() == 3; }));
    EXPECT_EQ(order.front(), 'a');
    EXPECT_EQ(std::count(order.begin(), order.end(), 'c'), 1);
}

class Pipe : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::pipe(fds), 0); }
    void TearDown() override {
        ::close(fds[0]);
        if (fds[1] >= 0) ::close(fds[1]);
    }
    int fds[2] = {-1, -1};
};

TEST_F(Pipe, WatchFiresWhileReadableAndNotAfterUnwatch) {
    DefaultLoop loop;
    int calls = 0;
    vostrel::platform::EventLoop::Id w = loop.Watch(fds[0], [&] {
        char c;
        ASSERT_EQ(::read(fds[0], &c, 1), 1);
        ++calls;
    });
    loop.run_for(5ms);
    EXPECT_EQ(calls, 0) << "fired with nothing to read";
    ASSERT_EQ(::write(fds[1], "ab", 2), 2);
    ASSERT_TRUE(RunUntil(loop, [&] { return calls == 2; }));  // level-triggered: both bytes
    loop.Unwatch(w);
    ASSERT_EQ(::write(fds[1], "c", 1), 1);
    loop.run_for(10ms);
    EXPECT_EQ(calls, 2);
}

TEST_F(Pipe, WatchAlsoFiresOnHangUp) {
    DefaultLoop loop;
    bool fired = false;
    auto w = loop.Watch(fds[0], [&] { fired = true; });
    ::close(fds[1]);
    fds[1] = -1;
    EXPECT_TRUE(RunUntil(loop, [&] { return fired; }));
    loop.Unwatch(w);
}

TEST_F(Pipe, WatchRemovedByAnEarlierCallbackOfTheSameTurnIsNotCalled) {
    DefaultLoop loop;
    int other[2];
    ASSERT_EQ(::pipe(other), 0);
    int calls = 0;
    vostrel::platform::EventLoop::Id a = 0, b = 0;
    // Whichever runs first removes the other; both are ready in the same turn.
    a = loop.Watch(fds[0], [&] {
        ++calls;
        loop.Unwatch(b);
        loop.Unwatch(a);
    });
    b = loop.Watch(other[0], [&] {
        ++calls;
        loop.Unwatch(a);
        loop.Unwatch(b);
    });
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    ASSERT_EQ(::write(other[1], "x", 1), 1);
    loop.run_for(10ms);
    EXPECT_EQ(calls, 1);
    ::close(other[0]);
    ::close(other[1]);
}

TEST(DefaultLoop, ExceptionFromACallbackLeavesRunAndTheLoopGoesOn) {
    DefaultLoop loop;
    int after = 0;
    loop.post([] { throw std::runtime_error("host failure"); });
    loop.post([&] { ++after; });
    EXPECT_THROW(loop.run_for(50ms), std::runtime_error);
    EXPECT_TRUE(RunUntil(loop, [&] { return after == 1; }));  // the rest stayed queued
}

// The poll set is kept between turns and must follow every Watch and
// Unwatch, also those made from callbacks.
TEST_F(Pipe, UnwatchedReadableDescriptorNoLongerWakesTheLoop) {
    DefaultLoop loop;
    int calls = 0;
    vostrel::platform::EventLoop::Id w = 0;
    w = loop.Watch(fds[0], [&] {
        ++calls;
        loop.Unwatch(w);  // leaves the byte unread: still readable
    });
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    ASSERT_TRUE(RunUntil(loop, [&] { return calls == 1; }));
    const auto before = loop.Wakeups();
    loop.run_for(20ms);
    EXPECT_EQ(calls, 1);
    EXPECT_LE(loop.Wakeups() - before, 2u) << "the loop still polled an unwatched descriptor";
}

TEST_F(Pipe, WatchAddedFromACallbackIsPolledAndAReplacedOneIsNot) {
    DefaultLoop loop;
    int other[2];
    ASSERT_EQ(::pipe(other), 0);
    std::vector<char> calls;
    vostrel::platform::EventLoop::Id first = 0;
    first = loop.Watch(fds[0], [&] {
        calls.push_back('1');
        char c;
        ASSERT_EQ(::read(fds[0], &c, 1), 1);
        // Replaced by a new watch on the same descriptor, plus one on another.
        loop.Unwatch(first);
        loop.Watch(fds[0], [&] {
            calls.push_back('2');
            char d;
            ASSERT_EQ(::read(fds[0], &d, 1), 1);
        });
        loop.Watch(other[0], [&] {
            calls.push_back('3');
            char d;
            ASSERT_EQ(::read(other[0], &d, 1), 1);
        });
    });
    ASSERT_EQ(::write(fds[1], "a", 1), 1);
    ASSERT_TRUE(RunUntil(loop, [&] { return calls.size() == 1; }));
    ASSERT_EQ(::write(fds[1], "b", 1), 1);
    ASSERT_EQ(::write(other[1], "c", 1), 1);
    ASSERT_TRUE(RunUntil(loop, [&] { return calls.size() == 3; }));
    loop.run_for(5ms);
    EXPECT_EQ(calls, (std::vector<char>{'1', '2', '3'}));
    ::close(other[0]);
    ::close(other[1]);
}

TEST_F(Pipe, TwoWatchesOnOneDescriptorFireTogetherAndOutliveEachOther) {
    DefaultLoop loop;
    int a = 0, b = 0;
    bool aWatching = true;
    char c;
    // The first reads while it is there; the second reads once it is alone.
    const auto wa = loop.Watch(fds[0], [&] {
        ++a;
        ASSERT_EQ(::read(fds[0], &c, 1), 1);
    });
    const auto wb = loop.Watch(fds[0], [&] {
        ++b;
        if (!aWatching) {
            ASSERT_EQ(::read(fds[0], &c, 1), 1);
        }
    });
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    ASSERT_TRUE(RunUntil(loop, [&] { return a == 1 && b == 1; }));
    loop.Unwatch(wa);
    aWatching = false;
    ASSERT_EQ(::write(fds[1], "y", 1), 1);
    EXPECT_TRUE(RunUntil(loop, [&] { return b == 2; })) << "the remaining watch was dropped";
    EXPECT_EQ(a, 1);
    loop.Unwatch(wb);
}

TEST(DefaultLoop, WritableWatchFiresOnlyWithRoomBesideAReadWatchOfTheSameDescriptor) {
    int s[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    ASSERT_EQ(::fcntl(s[0], F_SETFL, O_NONBLOCK), 0);
    ASSERT_EQ(::fcntl(s[1], F_SETFL, O_NONBLOCK), 0);
    char buf[4096] = {};
    const auto fill = [&] {
        while (::write(s[0], buf, sizeof buf) > 0) {
        }
    };
    const auto drain = [&] {
        while (::read(s[1], buf, sizeof buf) > 0) {
        }
    };
    fill();
    DefaultLoop loop;
    int readable = 0, writable = 0;
    const auto r = loop.Watch(s[0], [&] {
        ++readable;
        ASSERT_EQ(::read(s[0], buf, 1), 1);
    });
    const auto w = loop.WatchWritable(s[0], [&] {
        ++writable;
        fill();
    });
    ASSERT_NE(w, 0u);
    loop.run_for(5ms);
    EXPECT_EQ(writable, 0) << "fired with no room";
    drain();  // the far end reads: room
    ASSERT_TRUE(RunUntil(loop, [&] { return writable > 0; }));
    EXPECT_EQ(readable, 0);
    ASSERT_EQ(::write(s[1], "x", 1), 1);
    ASSERT_TRUE(RunUntil(loop, [&] { return readable == 1; }));
    loop.Unwatch(w);
    const int before = writable;
    drain();
    loop.run_for(5ms);
    EXPECT_EQ(writable, before) << "fired after Unwatch";
    ASSERT_EQ(::write(s[1], "y", 1), 1);
    EXPECT_TRUE(RunUntil(loop, [&] { return readable == 2; })) << "the read watch was dropped";
    loop.Unwatch(r);
    ::close(s[0]);
    ::close(s[1]);
}

// Regular files and /dev/null cannot be waited on by every mechanism; poll
// reports them readable at once (a host's stdin may well be either).
TEST(DefaultLoop, WatchOnAFileOrDevNullFiresAtOnce) {
    DefaultLoop loop;
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int null = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(null, 0);
    int fileCalls = 0, nullCalls = 0;
    vostrel::platform::EventLoop::Id wf = 0, wn = 0;
    wf = loop.Watch(::fileno(file), [&] {
        ++fileCalls;
        loop.Unwatch(wf);
    });
    wn = loop.Watch(null, [&] {
        ++nullCalls;
        loop.Unwatch(wn);
    });
    EXPECT_TRUE(RunUntil(loop, [&] { return fileCalls == 1 && nullCalls == 1; }));
    const auto before = loop.Wakeups();
    loop.run_for(10ms);
    EXPECT_LE(loop.Wakeups() - before, 2u) << "still waking for an unwatched file";
    ::close(null);
    std::fclose(file);
}
