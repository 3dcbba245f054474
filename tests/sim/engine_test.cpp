// The brick's command rules and its packet reader, fed bytes directly.
#include <gtest/gtest.h>

#include "sim/brick_engine.hpp"
#include "sim/wire.hpp"

namespace vostrel::sim {
namespace {

using namespace std::string_literals;

std::string Write(std::uint8_t type, int inbox, std::string_view text) {
    std::string t{static_cast<char>(type), '\x09', static_cast<char>(inbox), static_cast<char>(text.size() + 1)};
    t.append(text);
    t.push_back('\0');
    return t;
}

TEST(PacketReader, TakesPacketsHoweverTheBytesAreSplitOrJoined) {
    const std::string a = "\x07\x00\x00\x09\x00\x03hi\x00"s;
    const std::string b = "\x06\x00\x00\x03\xE8\x03\xF4\x01"s;
    const std::string stream = a + b;
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        PacketReader r;
        auto first = r.Feed(stream.substr(0, cut));
        auto second = r.Feed(stream.substr(cut));
        first.insert(first.end(), second.begin(), second.end());
        ASSERT_EQ(first.size(), 2u) << "cut at " << cut;
        EXPECT_EQ(first[0], a.substr(2));
        EXPECT_EQ(first[1], b.substr(2));
        EXPECT_EQ(r.Pending(), 0u);
    }
}

TEST(PacketReader, ByteByByteAndZeroLengthPacketsSkipped) {
    PacketReader r;
    const std::string stream = "\x00\x00\x02\x00\x00\x0D\x00\x00"s;
    std::vector<std::string> got;
    for (char c : stream)
        for (auto& t : r.Feed(std::string(1, c))) got.push_back(t);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "\x00\x0D"s);
}

TEST(PacketReader, LongLengthSwallowsTheNextPacketAsTheBrickDoes) {
    PacketReader r;
    EXPECT_TRUE(r.Feed("\x0A\x00\x80\x09"s).empty());
    auto got = r.Feed("\x03\x00\x02\x03\x00\x01\x02\x03"s);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "\x80\x09\x03\x00\x02\x03\x00\x01\x02\x03"s);
}

TEST(MessageWrite, StoresAndRepliesWhenAsked) {
    BrickEngine e;
    Outcome o = e.Handle(Write(0x00, 0, "hi"));
    EXPECT_EQ(o.status, status::kOk);
    EXPECT_EQ(o.reply, "\x03\x00\x02\x09\x00"s);
    EXPECT_EQ(e.Queue(0).front(), "hi\0"s);
    // No reply wanted: stored, nothing answered.
    o = e.Handle(Write(0x80, 9, "x"));
    EXPECT_EQ(o.status, status::kOk);
    EXPECT_TRUE(o.reply.empty());
    EXPECT_EQ(e.Take(9).value(), "x\0"s);
    EXPECT_FALSE(e.Take(9).has_value());
}

TEST(MessageWrite, SizeRulesAnswerC0) {
    BrickEngine e;
    const std::string c0 = "\x03\x00\x02\x09\xC0"s;
    EXPECT_EQ(e.Handle("\x00\x09\x01\x00"s).reply, c0);                          // size 0
    EXPECT_EQ(e.Handle(Write(0x00, 1, std::string(59, 'a'))).reply, c0);         // size 60
    EXPECT_EQ(e.Handle(Write(0x00, 1, std::string(58, 'a'))).status, status::kOk);  // size 59
    EXPECT_EQ(e.Handle("\x00\x09\x01\x03hi!"s).reply, c0);                       // no closing NUL
    EXPECT_EQ(e.Handle("\x00\x09\x01\x05hi\x00"s).reply, c0);                    // shorter than its size
    EXPECT_EQ(e.Handle("\x00\x09"s).reply, c0);                                  // no size at all
    EXPECT_EQ(e.Queue(1).size(), 1u);
}

TEST(MessageWrite, InboxAndProgramRulesInTheirOrder) {
    BrickEngine e;
    EXPECT_EQ(e.Handle(Write(0x00, 19, "o")).status, status::kOk);  // an outbox
    EXPECT_EQ(e.Handle(Write(0x00, 20, "o")).reply, "\x03\x00\x02\x09\xEE"s);
    e.StopProgram();
    EXPECT_EQ(e.Handle(Write(0x00, 2, "o")).reply, "\x03\x00\x02\x09\xEC"s);
    EXPECT_TRUE(e.Queue(2).empty());
    // The size check comes before the inbox, the inbox before the program.
    EXPECT_EQ(e.Handle("\x00\x09\x30\x00"s).status, status::kBadSize);
    EXPECT_EQ(e.Handle(Write(0x00, 30, "o")).status, status::kBadInbox);
    e.StartProgram();
    EXPECT_TRUE(e.Queue(19).empty());  // starting a program empties the queues
    EXPECT_EQ(e.Handle(Write(0x00, 2, "o")).status, status::kOk);
}

TEST(MessageWrite, SixthMessageDropsTheOldest) {
    BrickEngine e;
    for (int i = 1; i <= 6; ++i) {
        Outcome o = e.Handle(Write(0x80, 4, std::to_string(i)));
        EXPECT_EQ(o.droppedOldest, i == 6);
        EXPECT_EQ(o.status, status::kOk);
    }
    ASSERT_EQ(e.Queue(4).size(), 5u);
    EXPECT_EQ(e.Queue(4).front(), "2\0"s);
    EXPECT_EQ(e.Queue(4).back(), "6\0"s);
}

TEST(OtherCommands, ToneKeepAliveAndUnknown) {
    BrickEngine e;
    Outcome o = e.Handle("\x00\x03\xE8\x03\xF4\x01"s);
    EXPECT_EQ(o.tone, (Tone{1000, 500}));
    EXPECT_EQ(o.reply, "\x03\x00\x02\x03\x00"s);
    EXPECT_TRUE(e.Handle("\x80\x03\x10\x27\x01\x00"s).reply.empty());
    EXPECT_EQ(e.Handle("\x00\x0D"s).reply, "\x07\x00\x02\x0D\x00\xC0\x27\x09\x00"s);
    EXPECT_TRUE(e.Handle("\x80\x0D"s).reply.empty());
    EXPECT_EQ(e.Handle("\x00\x0B"s).reply, "\x03\x00\x02\x0B\xBE"s);
    EXPECT_TRUE(e.Handle("\x80\x0B"s).reply.empty());
    // Replies and other types sent to the brick are not commands.
    EXPECT_EQ(e.Handle("\x02\x09\x00"s).kind, Outcome::Kind::Ignored);
    EXPECT_TRUE(e.Handle("\x00"s).reply.empty());
}

TEST(Wire, ProgramMessagesAsTheBrickSendsThem) {
    EXPECT_EQ(Frame(MessageTelegram(1, "hello")), "\x0A\x00\x80\x09\x01\x06hello\x00"s);
    EXPECT_EQ(MessageTelegram(2, NumberPayload(1000)), "\x80\x09\x02\x05\xE8\x03\x00\x00\x00"s);
    EXPECT_EQ(NumberPayload(-1), "\xFF\xFF\xFF\xFF"s);
    EXPECT_THROW(MessageTelegram(1, std::string(59, 'a')), std::invalid_argument);
    EXPECT_EQ(Hex("\x0A\xff"s), "0aff");
}

}  // namespace
}  // namespace vostrel::sim
