// The simulated brick's program on a hand-driven clock.
#include <gtest/gtest.h>

#include "sim/brick_program.hpp"
#include "sim/wire.hpp"

namespace vostrel::sim {
namespace {

using namespace std::string_literals;
using std::chrono::milliseconds;

TEST(Program, SendsQueriesOnTheirPeriodAndCountsOnlyCorrectAnswers) {
    BrickEngine e;
    ProgramOptions o;
    o.pingEvery = milliseconds(100);
    o.pingInbox = 3;
    o.pingText = "?a?";
    BrickProgram p(o, e);
    const TimePoint t0{};
    p.Start(t0);
    EXPECT_TRUE(p.Run(t0 + milliseconds(99)).empty());
    auto sent = p.Run(t0 + milliseconds(100));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].telegram, MessageTelegram(3, "?a?"));
    EXPECT_EQ(p.NextDue(), t0 + milliseconds(200));
    e.Handle(MessageTelegram(3, "!a!"));
    e.Handle(MessageTelegram(3, "!a?"));
    e.Handle(MessageTelegram(4, "!a!"));  // another inbox is not the answer
    EXPECT_TRUE(p.Run(t0 + milliseconds(150)).empty());
    EXPECT_EQ(p.PingAnswers(), 1);
    EXPECT_EQ(p.WrongAnswers(), 1);
    // Periods missed while quiet are skipped, not sent in a burst.
    EXPECT_TRUE(p.Run(t0 + milliseconds(450), true).empty());
    EXPECT_EQ(p.Run(t0 + milliseconds(500)).size(), 1u);
    EXPECT_EQ(p.PingsSent(), 2);
}

TEST(Program, EchoesTextsAndNumbersOfItsInboxesOnly) {
    BrickEngine e;
    ProgramOptions o;
    o.echoInboxes = {1, 2};
    BrickProgram p(o, e);
    p.Start({});
    e.Handle(MessageTelegram(1, "hello"));
    e.Handle(MessageTelegram(2, NumberPayload(1000)));
    e.Handle(MessageTelegram(5, "kept"));
    auto sent = p.Run({});
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].telegram, MessageTelegram(1, "got hello"));
    EXPECT_EQ(sent[1].payload, "got 1000");
    EXPECT_EQ(e.Queue(5).size(), 1u);  // not read by the program
    // A long text's echo is cut to what a message holds.
    e.Handle(MessageTelegram(1, std::string(58, 'x')));
    sent = p.Run({});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload.size(), kMaxText);
}

TEST(Program, ScheduleToneReportAndReplyInbox) {
    BrickEngine e;
    ProgramOptions o;
    o.toneReportInbox = 0;
    o.echoInboxes = {4};
    o.replyInbox = 7;
    o.schedule.push_back({6, NumberPayload(42), milliseconds(10), 2});
    BrickProgram p(o, e);
    const TimePoint t0{};
    p.Start(t0);
    EXPECT_EQ(p.OnTone({1000, 500})[0].payload, "tone 1000 Hz 500 ms");
    EXPECT_EQ(p.Run(t0 + milliseconds(10)).size(), 1u);
    EXPECT_EQ(p.Run(t0 + milliseconds(25)).at(0).telegram, MessageTelegram(6, NumberPayload(42)));
    EXPECT_TRUE(p.Run(t0 + milliseconds(40)).empty());  // its count is spent
    EXPECT_EQ(p.NextDue(), TimePoint::max());
    e.Handle(MessageTelegram(4, "x"));
    EXPECT_EQ(p.Run(t0).at(0).inbox, 7);
}

TEST(Program, ReadableForms) {
    EXPECT_EQ(Readable("hi\0"s), "hi");
    EXPECT_EQ(Readable("abcd\0"s), "abcd");
    EXPECT_EQ(Readable(NumberPayload(-5) + "\0"s), "-5");
    EXPECT_EQ(Readable(NumberPayload(65) + "\0"s), "65");
    EXPECT_EQ(Readable("\x01\x02\0"s), "0x010200");
}

}  // namespace
}  // namespace vostrel::sim
