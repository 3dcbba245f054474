// Outgoing telegrams: framing, number and text messages, the tone, with
// their results, status texts and write-backs.
#include <gtest/gtest.h>

#include "protocol/framing.hpp"
#include "protocol/telegrams.hpp"
#include "tests/control/bytes.hpp"
#include "testsupport/memory_control.hpp"

using namespace vostrel;
using vostrel::testing::Bytes;
using vostrel::testing::MemoryComm;
using vostrel::testing::MemoryControl;

TEST(Framing, HeaderCountsTheTelegramOnly) {
    EXPECT_EQ(protocol::FramePacket(""), Bytes({0, 0}));
    EXPECT_EQ(protocol::FramePacket(Bytes({0x00, 0x03, 0xE8, 0x03, 0xF4, 0x01})),
              Bytes({0x06, 0x00, 0x00, 0x03, 0xE8, 0x03, 0xF4, 0x01}));
    std::string t255(255, '\xFF');
    EXPECT_EQ(protocol::FramePacket(t255), Bytes({0xFF, 0x00}) + t255);
}

TEST(Framing, TelegramOver255BytesIsRefused) {
    try {
        protocol::FramePacket(std::string(256, 'a'));
        FAIL() << "a 256-byte telegram was framed";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kInvalidArgument);
    }
}

TEST(Framing, GetBytesTakeLowByteFirst) {
    EXPECT_EQ(protocol::GetByte0(1000), 0xE8);
    EXPECT_EQ(protocol::GetByte1(1000), 0x03);
    EXPECT_EQ(protocol::GetByte2(1000), 0x00);
    EXPECT_EQ(protocol::GetByte3(1000), 0x00);
    EXPECT_EQ(protocol::GetByte0(2147483647), 0xFF);
    EXPECT_EQ(protocol::GetByte3(2147483647), 0x7F);
    for (Long x : {0, 1, 255, 256, 32767}) {
        EXPECT_EQ(protocol::GetByte2(x), 0);
        EXPECT_EQ(protocol::GetByte3(x), 0);
    }
}

class Outgoing : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(c->ConnectNXT(1, 9600), 0); c.comm->ClearWrites(); }
    MemoryControl c;
};

TEST_F(Outgoing, SendValueWritesNineByteTelegram) {
    EXPECT_EQ(c->SendValue(3, 1000), 0);
    EXPECT_EQ(c.comm->Written(),
              Bytes({0x09, 0x00, 0x80, 0x09, 0x03, 0x05, 0xE8, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(c->ErrorMessage(), "No errores");
    c.comm->ClearWrites();
    EXPECT_EQ(c->SendValue(9, 2147483647), 0);
    EXPECT_EQ(c.comm->Written().substr(6, 4), Bytes({0xFF, 0xFF, 0xFF, 0x7F}));
}

TEST_F(Outgoing, SendValueSendsAbsoluteValueAndWritesItBack) {
    Integer mailBox = 0;
    Long value = -1000;
    EXPECT_EQ(c->SendValue(mailBox, value), 0);
    EXPECT_EQ(value, 1000);
    EXPECT_EQ(mailBox, 0);
    EXPECT_EQ(c.comm->Written(),
              Bytes({0x09, 0x00, 0x80, 0x09, 0x00, 0x05, 0xE8, 0x03, 0x00, 0x00, 0x00}));
}

TEST_F(Outgoing, SendValueRefusesMailboxOutsideZeroToNineWithoutTouchingValue) {
    for (Integer box : {Integer(-1), Integer(10), Integer(-32768)}) {
        Long value = -5;
        c->ErrorMessage("before");
        EXPECT_EQ(c->SendValue(box, value), 1);
        EXPECT_EQ(value, -5);
        EXPECT_EQ(c->ErrorMessage(), "Error parameters for send");
    }
    EXPECT_TRUE(c.comm->Writes().empty());
}

TEST_F(Outgoing, SendValueOfMostNegativeLongIsRefusedAndKept) {
    Long value = INT32_MIN;
    EXPECT_EQ(c->SendValue(2, value), 1);
    EXPECT_EQ(value, INT32_MIN);
    EXPECT_TRUE(c.comm->Writes().empty());
}

TEST_F(Outgoing, SendTextFramesHelloAsTwelveBytes) {
    EXPECT_EQ(c->SendText(3, "hello"), 0);
    ASSERT_EQ(c.comm->Writes().size(), 1u);
    EXPECT_EQ(c.comm->Writes()[0],
              Bytes({0x0A, 0x00, 0x80, 0x09, 0x03, 0x06}) + "hello" + Bytes({0}));
    EXPECT_EQ(c->ErrorMessage(), "No errores");
}

TEST_F(Outgoing, SendTextLengthLimits) {
    EXPECT_EQ(c->SendText(1, ""), 0);
    EXPECT_EQ(c.comm->Written(), Bytes({0x05, 0x00, 0x80, 0x09, 0x01, 0x01, 0x00}));
    c.comm->ClearWrites();

    EXPECT_EQ(c->SendText(1, std::string(58, 'x')), 0);
    ASSERT_EQ(c.comm->Written().size(), 65u);
    EXPECT_EQ(c.comm->Written().substr(0, 2), Bytes({0x3F, 0x00}));
    EXPECT_EQ(c.comm->Written()[5], '\x3B');
    c.comm->ClearWrites();

    EXPECT_EQ(c->SendText(1, std::string(59, 'x')), 1);
    EXPECT_EQ(c->SendText(1, std::string(40000, 'x')), 1);
    EXPECT_EQ(c->ErrorMessage(), "Error parameters for send");
    EXPECT_TRUE(c.comm->Writes().empty());
}

TEST_F(Outgoing, SendTextKeepsEveryByteOfTheText) {
    std::string mail = Bytes({0x00, 0x80, 0xFF, '?'});
    EXPECT_EQ(c->SendText(2, mail), 0);
    EXPECT_EQ(c.comm->Written(), Bytes({0x09, 0x00, 0x80, 0x09, 0x02, 0x05}) + mail + Bytes({0}));
}

TEST_F(Outgoing, SendTextWritesBackAbsoluteMailboxAfterTheLengthTest) {
    Integer box = -4;
    EXPECT_EQ(c->SendText(box, "a"), 0);
    EXPECT_EQ(box, 4);
    EXPECT_EQ(c.comm->Written()[4], '\x04');

    box = -12;
    EXPECT_EQ(c->SendText(box, "a"), 1);
    EXPECT_EQ(box, 12);

    box = -12;
    EXPECT_EQ(c->SendText(box, std::string(59, 'a')), 1);
    EXPECT_EQ(box, -12);

    box = -32768;
    EXPECT_EQ(c->SendText(box, "a"), 1);
    EXPECT_EQ(box, -32768);
}

TEST(OutgoingClosed, SendersFailWithClosedPortAfterTheirWriteBacks) {
    MemoryControl c;
    Long value = -7;
    EXPECT_EQ(c->SendValue(1, value), 1);
    EXPECT_EQ(value, 7);
    Integer box = -3;
    EXPECT_EQ(c->SendText(box, "x"), 1);
    EXPECT_EQ(box, 3);
    EXPECT_EQ(c->ErrorMessage(), "Error parameters for send");
    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    ASSERT_EQ(c->DisconnectNXT(), 0);
    EXPECT_EQ(c->SendText(3, "x"), 1);
    EXPECT_EQ(c->SendValue(3, 1), 1);
}

TEST_F(Outgoing, WriteFailureIsReportedNotThrown) {
    c.comm->Fail(MemoryComm::Op::Output, err::kDeviceIo, 1);
    EXPECT_EQ(c->SendText(1, "x"), 1);
    EXPECT_EQ(c->ErrorMessage(), "Error parameters for send");
    EXPECT_EQ(c->SendText(1, "x"), 0);
}

TEST_F(Outgoing, InDesignModeThePacketGoesOutAndTheFailurePathThrows) {
    c.host.userMode = false;
    try {
        c->SendText(1, "x");
        FAIL() << "no error from the failure path";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kSetNotPermitted);
    }
    // Work done before the status was set stays done.
    EXPECT_EQ(c.comm->Writes().size(), 1u);
}

TEST(Telegrams, ToneAndKeepAliveEcho) {
    EXPECT_EQ(protocol::PlayToneTelegram(1000, 500), Bytes({0x00, 0x03, 0xE8, 0x03, 0xF4, 0x01}));
    EXPECT_EQ(protocol::KeepAliveEcho(Bytes({0x80, 0x09, 0x3F, 0x05}) + "?a?b"),
              Bytes({0x80, 0x09, 0x21, 0x05}) + "!a!b");
}
