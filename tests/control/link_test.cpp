// Connecting and disconnecting: the outcome table, failure paths and what
// stays as it was.
#include <gtest/gtest.h>

#include "tests/control/bytes.hpp"
#include "testsupport/memory_control.hpp"

using namespace vostrel;
using vostrel::testing::Bytes;
using vostrel::testing::MemoryComm;
using vostrel::testing::MemoryControl;
using Op = MemoryComm::Op;

TEST(Connect, OpensConfiguresBeepsAndArms) {
    MemoryControl c;
    Integer port = 5, baud = 9600;
    EXPECT_EQ(c->ConnectNXT(port, baud), 0);
    EXPECT_EQ(c.comm->CommPort(), 5);
    EXPECT_EQ(c.comm->Settings(), "9600,n,8,1");
    EXPECT_EQ(c.comm->PortOpen(), kTrue);
    EXPECT_EQ(c.comm->Writes(),
              std::vector<std::string>{Bytes({0x06, 0x00, 0x00, 0x03, 0xE8, 0x03, 0xF4, 0x01})});
    EXPECT_EQ(c.timer->Enabled(), kTrue);
    EXPECT_EQ(c->Connection(), kTrue);
    EXPECT_EQ(c->ErrorMessage(), "No errores");
    EXPECT_EQ(port, 5);
    EXPECT_EQ(baud, 9600);
    EXPECT_EQ(c.host.changes, (std::vector<std::string>{"Connection", "ErrorMessage"}));
}

TEST(Connect, SettingsTextFollowsTheSpeed) {
    MemoryControl c;
    EXPECT_EQ(c->ConnectNXT(3, 19200), 0);
    EXPECT_EQ(c.comm->Settings(), "19200,n,8,1");
    EXPECT_EQ(c.comm->CommPort(), 3);
}

TEST(Connect, RefusedStepsLeaveThePortClosedAndTheWatchdogAsItWas) {
    for (Integer baud : {Integer(0), Integer(-300), Integer(1234)}) {
        MemoryControl c;
        EXPECT_EQ(c->ConnectNXT(1, baud), 1) << baud;
        EXPECT_EQ(c->ErrorMessage(), "Connection error");
        EXPECT_EQ(c->Connection(), kFalse);
        EXPECT_EQ(c.comm->PortOpen(), kFalse);
        EXPECT_EQ(c.timer->Enabled(), kFalse);
        EXPECT_TRUE(c.comm->Writes().empty());
    }
    MemoryControl c;
    c.comm->SetPortExists(7, false);
    EXPECT_EQ(c->ConnectNXT(7, 9600), 1);
    c.comm->SetPortHeld(2, true);
    EXPECT_EQ(c->ConnectNXT(2, 9600), 1);
    EXPECT_EQ(c.comm->Opens(), 0);
}

TEST(Connect, SecondConnectFailsAndLeavesTheOldLinkRunning) {
    MemoryControl c;
    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    c.timer->Advance(4000);
    EXPECT_EQ(c->ConnectNXT(1, 9600), 1);
    EXPECT_EQ(c->ErrorMessage(), "Connection error");
    EXPECT_EQ(c->Connection(), kFalse);
    EXPECT_EQ(c.comm->PortOpen(), kTrue);
    EXPECT_EQ(c.comm->Writes().size(), 1u) << "no second tone";
    EXPECT_EQ(c.timer->UntilNextTick(), 6000) << "the watchdog keeps its count";
}

TEST(Connect, FailureAfterOpeningClosesThePortAgain) {
    MemoryControl c;
    c.comm->Fail(Op::Output, err::kDeviceIo, 1);
    EXPECT_EQ(c->ConnectNXT(1, 9600), 1);
    EXPECT_EQ(c.comm->PortOpen(), kFalse) << "a failed connect keeps no device";
    EXPECT_EQ(c->Connection(), kFalse);
    EXPECT_EQ(c.timer->Enabled(), kFalse);
    EXPECT_EQ(c->LastError()->Number(), err::kDeviceIo) << "the cause, not the undoing";
    EXPECT_EQ(c->ConnectNXT(1, 9600), 0) << "a retry can have the port";
    EXPECT_EQ(c->DisconnectNXT(), 0);
}

TEST(Connect, DesignModeFailureEscapesFromTheFailurePathWithThePortClosed) {
    MemoryControl c;
    c.host.userMode = false;
    try {
        c->ConnectNXT(1, 9600);
        FAIL() << "expected error 387";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kSetNotPermitted);
    }
    EXPECT_EQ(c.comm->Opens(), 1);
    EXPECT_EQ(c.comm->PortOpen(), kFalse);
    EXPECT_EQ(c.timer->Enabled(), kFalse) << "armed by the call, stopped with its port";
}

TEST(Disconnect, ClosesStopsAndReports) {
    MemoryControl c;
    EXPECT_EQ(c->DisconnectNXT(), 0) << "never opened";
    EXPECT_EQ(c->ErrorMessage(), "No errores");
    EXPECT_EQ(c->Connection(), kFalse);
    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    EXPECT_EQ(c->DisconnectNXT(), 0);
    EXPECT_EQ(c->DisconnectNXT(), 0);
    EXPECT_EQ(c.comm->PortOpen(), kFalse);
    EXPECT_EQ(c.timer->Enabled(), kFalse);
    EXPECT_EQ(c->Connection(), kFalse);
    EXPECT_EQ(c->ConnectNXT(2, 9600), 0) << "a closed port can be reconnected elsewhere";
}

TEST(Disconnect, CloseFailureKeepsConnectionAndWatchdog) {
    MemoryControl c;
    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    c.comm->Fail(Op::Close, err::kDeviceIo, 1);
    EXPECT_EQ(c->DisconnectNXT(), 1);
    EXPECT_EQ(c->ErrorMessage(), "Comm error");
    EXPECT_EQ(c->Connection(), kTrue);
    EXPECT_EQ(c.timer->Enabled(), kTrue);
    EXPECT_EQ(c.comm->PortOpen(), kTrue);
}

TEST(Disconnect, CloseThatLostBytesStillEndsTheLink) {
    MemoryControl c;
    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    c.comm->LoseBytesAtNextClose();
    EXPECT_EQ(c->DisconnectNXT(), 1);
    EXPECT_EQ(c->ErrorMessage(), "Comm error");
    EXPECT_EQ(c->LastError()->Number(), err::kDeviceIo);
    EXPECT_EQ(c.comm->PortOpen(), kFalse);
    EXPECT_EQ(c->Connection(), kFalse);
    c.timer->Advance(3 * Vostrel::kWatchdogInterval);
    EXPECT_TRUE(c.sink.events.empty()) << "no NoPing for a closed port";
}

TEST(Connect, HalfReceivedPacketDoesNotLeakIntoANewLink) {
    MemoryControl c;
    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    c.comm->Deliver(Bytes({0x0A, 0x00, 0x80, 0x09}));  // the link drops here
    ASSERT_EQ(c->DisconnectNXT(), 0);
    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    c.comm->Deliver(vostrel::testing::BrickMessage(1, "fresh"));
    EXPECT_EQ(c->ReadText(1), vostrel::testing::WithNul("fresh"));
}

// The status text says which method failed; LastError says why.
TEST(LastError, KeepsWhatTheTrapCaughtUntilTheNextCall) {
    MemoryControl c;
    EXPECT_FALSE(c->LastError().has_value());
    c.comm->SetPortExists(7, false);
    ASSERT_EQ(c->ConnectNXT(7, 9600), 1);
    EXPECT_EQ(c->ErrorMessage(), "Connection error");
    ASSERT_TRUE(c->LastError().has_value());
    EXPECT_EQ(c->LastError()->Number(), err::kPortInvalid);

    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    EXPECT_FALSE(c->LastError().has_value()) << "a call that succeeds leaves no failure behind";

    Integer box = 12;
    EXPECT_EQ(c->SendText(box, "x"), 1);
    ASSERT_TRUE(c->LastError().has_value());
    EXPECT_EQ(c->LastError()->Number(), err::kInvalidArgument);
    EXPECT_STREQ(c->LastError()->what(), "mailbox 12 is outside 0 to 9");
    EXPECT_EQ(c->SendText(1, std::string(59, 'a')), 1);
    EXPECT_STREQ(c->LastError()->what(), "a text of 59 bytes is longer than 58");
    EXPECT_EQ(c->SendValue(1, INT32_MIN), 1);
    EXPECT_EQ(c->LastError()->Number(), err::kOverflow);

    // Neither a tick nor received data touches it.
    c.timer->Advance(Vostrel::kWatchdogInterval);
    c.comm->Deliver(vostrel::testing::BrickMessage(1, "hi"));
    EXPECT_EQ(c->ErrorMessage(), "Ping error");
    EXPECT_EQ(c->LastError()->Number(), err::kOverflow);

    c.comm->Fail(Op::Close, err::kDeviceIo, 1);
    EXPECT_EQ(c->DisconnectNXT(), 1);
    EXPECT_EQ(c->LastError()->Number(), err::kDeviceIo);
    EXPECT_EQ(c->DisconnectNXT(), 0);
    EXPECT_FALSE(c->LastError().has_value());
}

TEST(LastError, FailureOfTheHostSiteIsKeptWithItsText) {
    MemoryControl c;
    c.host.failNotification = true;  // throws from inside ConnectNXT's steps
    EXPECT_THROW(c->ConnectNXT(1, 9600), Error);
    ASSERT_TRUE(c->LastError().has_value());
    EXPECT_EQ(c->LastError()->Number(), err::kHostFailure);
    EXPECT_STREQ(c->LastError()->what(), "notification refused");
}
