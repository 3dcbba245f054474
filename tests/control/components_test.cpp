// The in-memory components keep the promises the real ones make.
#include <gtest/gtest.h>

#include "tests/control/bytes.hpp"
#include "testsupport/memory_comm.hpp"
#include "testsupport/memory_timer.hpp"

using namespace vostrel;
using vostrel::testing::Bytes;
using vostrel::testing::MemoryComm;
using vostrel::testing::MemoryTimer;

TEST(MemoryComm, RefusesWhatARealPortRefuses) {
    MemoryComm comm;
    EXPECT_THROW(comm.Output("x"), Error);
    EXPECT_THROW(comm.Settings("9600,n,8"), Error);
    EXPECT_THROW(comm.Settings("0,n,8,1"), Error);
    EXPECT_THROW(comm.Settings("-300,n,8,1"), Error);
    EXPECT_NO_THROW(comm.Settings("14400,n,8,1"));
    comm.PortOpen(kTrue);
    EXPECT_THROW(comm.CommPort(2), Error);
    EXPECT_EQ(comm.CommPort(), 1);
    EXPECT_EQ(comm.PortOpen(), kTrue);
}

TEST(MemoryComm, InputTakesEverythingOnce) {
    MemoryComm comm;
    comm.PortOpen(kTrue);
    std::string bytes = Bytes({0x00, 0xE8, 0x80, 0xFF});
    comm.Receive(bytes.substr(0, 2));
    comm.Receive(bytes.substr(2));
    EXPECT_EQ(comm.Input(), bytes);
    EXPECT_EQ(comm.Input(), "");
}

TEST(MemoryComm, InjectedFailuresCountDown) {
    MemoryComm comm;
    comm.PortOpen(kTrue);
    comm.Fail(MemoryComm::Op::Output, err::kDeviceIo, 2);
    EXPECT_THROW(comm.Output("a"), Error);
    EXPECT_THROW(comm.Output("a"), Error);
    EXPECT_NO_THROW(comm.Output("a"));
    EXPECT_EQ(comm.Writes(), std::vector<std::string>{"a"});
}

TEST(MemoryTimer, TicksAtIntervalAndRestartsFromZero) {
    MemoryTimer t;
    int ticks = 0;
    t.OnTimer([&] { ++ticks; });
    t.Interval(100);
    t.Enabled(kTrue);
    t.Advance(250);
    EXPECT_EQ(t.Ticks(), (std::vector<long long>{100, 200}));
    t.Enabled(kFalse);
    t.Enabled(kTrue);  // a full interval from now
    t.Advance(99);
    EXPECT_EQ(ticks, 2);
    t.Advance(1);
    EXPECT_EQ(ticks, 3);
    t.Enabled(kTrue);  // already enabled: still restarts
    t.Advance(50);
    t.Enabled(kTrue);
    t.Advance(99);
    EXPECT_EQ(ticks, 3);
}
