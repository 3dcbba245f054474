// The keep-alive watchdog on virtual time.
#include <gtest/gtest.h>

#include "tests/control/bytes.hpp"
#include "testsupport/memory_control.hpp"

using namespace vostrel;
using vostrel::testing::BrickMessage;
using vostrel::testing::Bytes;
using vostrel::testing::MemoryComm;
using vostrel::testing::MemoryControl;
using vostrel::testing::RecordingSink;
using Event = RecordingSink::Event;

class Watchdog : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(c->ConnectNXT(1, 9600), 0); }
    std::vector<long long> NoPingTimes() const { return noPings; }
    void RecordNoPings() {
        c.sink.onNoPing = [this] { noPings.push_back(c.timer->Now()); };
    }
    MemoryControl c;
    std::vector<long long> noPings;
};

TEST_F(Watchdog, SilenceRaisesNoPingEveryTenSeconds) {
    RecordNoPings();
    std::string seenInHandler;
    c.sink.onNoPing = [&] {
        noPings.push_back(c.timer->Now());
        if (noPings.size() == 1) seenInHandler = c->ErrorMessage();
    };
    c.timer->Advance(35000);
    EXPECT_EQ(noPings, (std::vector<long long>{10000, 20000, 30000}));
    EXPECT_EQ(seenInHandler, "No errores") << "the event comes before the status";
    EXPECT_EQ(c->ErrorMessage(), "Ping error");
    EXPECT_EQ(c->Connection(), kTrue);
    EXPECT_EQ(c.comm->PortOpen(), kTrue);
}

TEST_F(Watchdog, EveryNotificationRestartsTheCount) {
    RecordNoPings();
    for (int i = 0; i < 5; ++i) {
        c.timer->Advance(9000);
        c.comm->Deliver(BrickMessage(1, "alive"));
    }
    EXPECT_TRUE(noPings.empty());
    // Data that is dropped, and a notification without data, count too.
    c.timer->Advance(9000);
    c.comm->Deliver(Bytes({0x03, 0x00, 0x02, 0x03, 0x00}));
    c.timer->Advance(9000);
    c.comm->RaiseOnComm();
    c.timer->Advance(9999);
    EXPECT_TRUE(noPings.empty());
    c.timer->Advance(1);
    EXPECT_EQ(noPings.size(), 1u);
}

TEST_F(Watchdog, FirstNoPingComesTenSecondsAfterTheLastData) {
    RecordNoPings();
    c.timer->Advance(5000);
    c.comm->Deliver(BrickMessage(2, "x"));
    c.timer->Advance(20000);
    EXPECT_EQ(noPings, (std::vector<long long>{15000, 25000}));
}

TEST_F(Watchdog, SendingDoesNotCountAsLife) {
    RecordNoPings();
    for (int i = 0; i < 5; ++i) {
        c.timer->Advance(2000);
        ASSERT_EQ(c->SendText(1, "ping"), 0);
    }
    EXPECT_EQ(noPings, (std::vector<long long>{10000}));
}

TEST_F(Watchdog, PingNXTFalseTicksSilently) {
    c->PingNXT(kFalse);
    c->ErrorMessage("mine");
    c.timer->Advance(30000);
    EXPECT_EQ(c.timer->Ticks().size(), 3u);
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_EQ(c->ErrorMessage(), "mine");
    c->PingNXT(Boolean(1));  // only exactly -1 counts as True
    c.timer->Advance(10000);
    EXPECT_TRUE(c.sink.events.empty());
}

TEST_F(Watchdog, DisconnectInsideNoPingStopsItButStatusIsPingError) {
    c.sink.onNoPing = [&] { EXPECT_EQ(c->DisconnectNXT(), 0); };
    c.timer->Advance(60000);
    EXPECT_EQ(c.sink.Count(Event::NoPing), 1u);
    EXPECT_EQ(c->ErrorMessage(), "Ping error");
}

TEST_F(Watchdog, PingNXTSetFalseInsideNoPingStillSetsThisTicksStatus) {
    c.sink.onNoPing = [&] { c->PingNXT(kFalse); };
    c.timer->Advance(30000);
    EXPECT_EQ(c.sink.Count(Event::NoPing), 1u);
    EXPECT_EQ(c->ErrorMessage(), "Ping error");
}

TEST_F(Watchdog, DisconnectInsideNewMailStaysQuiet) {
    c.sink.onNewMail = [&](Integer&) { EXPECT_EQ(c->DisconnectNXT(), 0); };
    c.comm->Deliver(BrickMessage(1, "bye"));
    EXPECT_EQ(c.timer->Enabled(), kFalse);
    c.timer->Advance(60000);
    EXPECT_EQ(c.sink.Count(Event::NoPing), 0u) << "no NoPing with the port closed";
}

TEST_F(Watchdog, FailedNotificationStillRestartsTheWatchdog) {
    c.comm->Fail(MemoryComm::Op::Input, err::kDeviceIo, 1);
    EXPECT_NO_THROW(c.comm->RaiseOnComm());
    EXPECT_EQ(c.host.errors.size(), 1u);
    c.timer->Advance(10000);
    EXPECT_EQ(c.sink.Count(Event::NoPing), 1u) << "the dead link is still reported";
}

TEST_F(Watchdog, SlowNewMailHandlerCausesNoNoPing) {
    c.sink.onNewMail = [&](Integer&) { c.timer->Advance(25000); };
    c.comm->Deliver(BrickMessage(1, "slow"));
    EXPECT_EQ(c.sink.Count(Event::NoPing), 0u);
    c.timer->Advance(10000);
    EXPECT_EQ(c.sink.Count(Event::NoPing), 1u);
}

TEST(WatchdogIdle, NothingBeforeTheFirstConnect) {
    MemoryControl c;
    EXPECT_EQ(c.timer->Interval(), 10000);
    c.timer->Advance(100000);
    EXPECT_TRUE(c.timer->Ticks().empty());
    EXPECT_TRUE(c.sink.events.empty());
}

TEST(WatchdogIdle, ThrowingNoPingHandlerDoesNotStopTheTimer) {
    MemoryControl c;
    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    c.sink.onNoPing = [] { throw std::runtime_error("handler failed"); };
    EXPECT_NO_THROW(c.timer->Advance(20000));
    EXPECT_EQ(c.sink.Count(Event::NoPing), 2u);
    EXPECT_EQ(c.host.errors.size(), 2u);
    EXPECT_EQ(c->ErrorMessage(), "No errores") << "the tick ends where its handler failed";
}
