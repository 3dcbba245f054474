// The receive path: filing texts, keep-alive echoes, dropped data, ReadText,
// and packets however the reads split or join them.
#include <gtest/gtest.h>

#include <random>

#include "protocol/packet_splitter.hpp"
#include "tests/control/bytes.hpp"
#include "testsupport/memory_control.hpp"

using namespace vostrel;
using vostrel::testing::BrickMessage;
using vostrel::testing::Bytes;
using vostrel::testing::MemoryComm;
using vostrel::testing::MemoryControl;
using vostrel::testing::RecordingSink;
using vostrel::testing::WithNul;
using Event = RecordingSink::Event;

class Receive : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
        c.comm->ClearWrites();
    }
    MemoryControl c;
};

TEST_F(Receive, TextIsFiledWithItsNulAndAnnounced) {
    c.comm->Deliver(Bytes({0x0A, 0x00, 0x80, 0x09, 0x01, 0x06}) + "world" + Bytes({0}));
    EXPECT_EQ(c.sink.events, (std::vector<Event>{{Event::NewMail, 1}}));
    EXPECT_EQ(c->ReadText(1), WithNul("world"));
    EXPECT_EQ(c->ReadText(1), "");
}

TEST_F(Receive, ShortestTextAndReplyWantedAreFiledAlike) {
    c.comm->Deliver(Bytes({0x06, 0x00, 0x80, 0x09, 0x02, 0x02, 'A', 0x00}));
    c.comm->Deliver(Bytes({0x06, 0x00, 0x00, 0x09, 0x03, 0x02, 'B', 0x00}));
    EXPECT_EQ(c->ReadText(2), WithNul("A"));
    EXPECT_EQ(c->ReadText(3), WithNul("B"));
    EXPECT_TRUE(c.comm->Writes().empty()) << "no reply is ever sent";
}

TEST_F(Receive, UnusableDataIsDroppedSilently) {
    c->ErrorMessage("kept");
    c.comm->Deliver(Bytes({0x05, 0x00, 0x80, 0x09, 0x01, 0x01, 0x00}));       // empty text
    c.comm->Deliver(Bytes({0x03, 0x00, 0x02, 0x03, 0x00}));                   // tone reply
    c.comm->Deliver(Bytes({0x06, 0x00, 0x80, 0x0A, 0x01, 0x02, 'A', 0x00}));  // not MESSAGEWRITE
    c.comm->Deliver(Bytes({0x06, 0x00, 0x80, 0x09, 0x0A, 0x02, 'A', 0x00}));  // inbox 10
    c.comm->Deliver(Bytes({0x06, 0x00, 0x80, 0x09, 0xFF, 0x02, 'A', 0x00}));  // inbox 255
    c.comm->RaiseOnComm();                                                    // nothing waiting
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_TRUE(c.comm->Writes().empty());
    EXPECT_EQ(c->ErrorMessage(), "kept");
    for (Integer i = 0; i <= 9; ++i) EXPECT_EQ(c->ReadText(i), "-1");
}

TEST_F(Receive, KeepAliveQueryIsEchoedWithBangs) {
    c.comm->Deliver(Bytes({0x06, 0x00, 0x80, 0x09, 0x00, 0x02, '?', 0x00}));
    EXPECT_EQ(c.comm->Written(), Bytes({0x06, 0x00, 0x80, 0x09, 0x00, 0x02, '!', 0x00}));
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_EQ(c->ReadText(0), "-1");
}

TEST_F(Receive, EveryQuestionMarkOfAQueryIsTurnedWhateverItsInbox) {
    c.comm->Deliver(Bytes({0x09, 0x00, 0x80, 0x09, 0x0C, 0x05}) + "?a?b" + Bytes({0}));
    EXPECT_EQ(c.comm->Written(), Bytes({0x09, 0x00, 0x80, 0x09, 0x0C, 0x05}) + "!a!b" + Bytes({0}));
}

TEST_F(Receive, QuestionMarkLaterInTextIsFiledUnchanged) {
    c.comm->Deliver(BrickMessage(4, "a?b?"));
    EXPECT_EQ(c->ReadText(4), WithNul("a?b?"));
    EXPECT_TRUE(c.comm->Writes().empty());
}

TEST_F(Receive, NewerTextReplacesUnreadOneAndEachIsAnnounced) {
    c.comm->Deliver(BrickMessage(5, "one"));
    c.comm->Deliver(BrickMessage(5, "two"));
    EXPECT_EQ(c.sink.Count(Event::NewMail), 2u);
    EXPECT_EQ(c->ReadText(5), WithNul("two"));
}

TEST_F(Receive, SlotIsFilledBeforeNewMailAndHandlerMayReadIt) {
    std::string seen;
    c.sink.onNewMail = [&](Integer& box) {
        seen = c->ReadText(box);
        box = 7;  // the control does not read it back
    };
    c.comm->Deliver(BrickMessage(2, "hi"));
    EXPECT_EQ(seen, WithNul("hi"));
    EXPECT_EQ(c->ReadText(2), "");
    EXPECT_EQ(c->ReadText(7), "-1");
}

TEST_F(Receive, TwoPacketsInOneReadAreDeliveredSeparately) {
    c.comm->Deliver(BrickMessage(1, "A") + BrickMessage(2, "B"));
    EXPECT_EQ(c.sink.events, (std::vector<Event>{{Event::NewMail, 1}, {Event::NewMail, 2}}));
    EXPECT_EQ(c->ReadText(1), WithNul("A"));
    EXPECT_EQ(c->ReadText(2), WithNul("B"));
}

TEST_F(Receive, QueryJoinedWithTextEchoesOnlyTheQuery) {
    c.comm->Deliver(BrickMessage(0, "?") + BrickMessage(3, "what?"));
    EXPECT_EQ(c.comm->Written(), BrickMessage(0, "!"));
    EXPECT_EQ(c->ReadText(3), WithNul("what?"));
}

TEST_F(Receive, PacketSplitOverReadsWaitsForItsRest) {
    std::string p = BrickMessage(1, "world");
    c.comm->Deliver(p.substr(0, 8));
    EXPECT_TRUE(c.sink.events.empty());
    c.comm->Deliver(p.substr(8));
    EXPECT_EQ(c->ReadText(1), WithNul("world"));
    // One byte at a time, header split too.
    for (char ch : BrickMessage(6, "slow")) c.comm->Deliver(std::string(1, ch));
    EXPECT_EQ(c->ReadText(6), WithNul("slow"));
    EXPECT_EQ(c.sink.Count(Event::NewMail), 2u);
}

TEST_F(Receive, OversizedHeaderIsDroppedAndLaterPacketsGetThrough) {
    // 0xFFFF announces far more than any receive buffer holds.
    c.comm->Deliver(Bytes({0xFF, 0xFF, 'g', 'a', 'r', 'b'}));
    c.comm->Deliver(BrickMessage(3, "after"));
    EXPECT_EQ(c->ReadText(3), WithNul("after"));
    // Garbage that ends mid-header is completed by the next read and dropped.
    c.comm->Deliver(Bytes({0xFF}));
    c.comm->Deliver(Bytes({0xFF, 1, 2, 3}));
    c.comm->Deliver(BrickMessage(4, "again"));
    EXPECT_EQ(c->ReadText(4), WithNul("again"));
}

TEST_F(Receive, QueryTooLongForABrickIsSkippedWithoutCostingTheNext) {
    // 304 bytes: no brick sends that, so it is skipped as garbage, and none
    // of the bytes inside it turns into a mail or an echo.
    std::string q = "?" + std::string(299, 'q');
    std::string t = Bytes({0x80, 0x09, 0x00, 0x00}) + q + Bytes({0});
    std::string packet =
        Bytes({static_cast<int>(t.size() & 0xFF), static_cast<int>(t.size() >> 8)}) + t;
    c.comm->Deliver(packet + BrickMessage(1, "next"));
    EXPECT_TRUE(c.comm->Writes().empty());
    EXPECT_TRUE(c.host.errors.empty());
    EXPECT_EQ(c.sink.events, (std::vector<Event>{{Event::NewMail, 1}}));
    EXPECT_EQ(c->ReadText(1), WithNul("next"));
    EXPECT_EQ(c.timer->Enabled(), kTrue);
}

TEST_F(Receive, ThrowingHandlerDoesNotEscapeOrCostLaterPackets) {
    c.sink.onNewMail = [](Integer& box) {
        if (box == 1) throw std::runtime_error("host handler failed");
    };
    EXPECT_NO_THROW(c.comm->Deliver(BrickMessage(1, "a") + BrickMessage(2, "b")));
    EXPECT_EQ(c.host.errors, std::vector<std::string>{"host handler failed"});
    EXPECT_EQ(c->ReadText(2), WithNul("b"));
}

TEST_F(Receive, ClosingTheLinkInsideNewMailDropsTheRestOfTheRead) {
    // Five mails and the first bytes of a sixth in one read; the first
    // handler ends the link in each of the ways a host or a line can.
    const std::vector<std::pair<const char*, std::function<void()>>> endings{
        {"disconnect", [&] { EXPECT_EQ(c->DisconnectNXT(), 0); }},
        {"reconnect",
         [&] {
             EXPECT_EQ(c->DisconnectNXT(), 0);
             EXPECT_EQ(c->ConnectNXT(1, 9600), 0);
         }},
        {"port closed under it", [&] { c.comm->PortOpen(kFalse); }},
    };
    std::string read;
    for (Integer box = 1; box <= 5; ++box) read += BrickMessage(box, "old");
    read += BrickMessage(6, "cut").substr(0, 5);
    for (const auto& [what, end] : endings) {
        c.sink.events.clear();
        c.sink.onNewMail = [&, end = end](Integer& box) {
            if (box == 1) end();
        };
        c.comm->Deliver(read);
        EXPECT_EQ(c.sink.events, (std::vector<Event>{{Event::NewMail, 1}})) << what;
        // The next link starts with nothing of the old one.
        if (c.comm->PortOpen() != kTrue) {
            ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
        }
        c.comm->Deliver(BrickMessage(7, "fresh"));
        EXPECT_EQ(c->ReadText(7), WithNul("fresh")) << what;
        EXPECT_EQ(c.sink.events.size(), 2u) << what;
    }
}

TEST_F(Receive, StoredTextLongerThanAMessageIsKeptWhole) {
    // The longest telegram a brick sends: 64 bytes. The size byte is not used.
    std::string text(60, 't');
    std::string t = Bytes({0x80, 0x09, 0x08, 0x01}) + text;
    c.comm->Deliver(Bytes({static_cast<int>(t.size()), 0}) + t);
    EXPECT_EQ(c->ReadText(8), text);
}

// Headers no brick sends, and a brick's half packet cut off by a silence:
// the stream gets back in step without losing the packets that follow.
class ReceiveResync : public Receive {
protected:
    void SetUp() override {
        Receive::SetUp();
        c.sink.onNewMail = [this](Integer& box) { texts.push_back(c->ReadText(box)); };
    }
    std::vector<std::string> texts;
};

TEST_F(ReceiveResync, HeaderAnnouncingMoreThanABrickSendsIsSkippedByteByByte) {
    // 0x0105: high byte 1. Five packets follow it in the same read, then a
    // 300-byte packet, then one more good packet.
    std::string stream = Bytes({0x05, 0x01});
    for (int i = 0; i < 5; ++i)
        stream += BrickMessage(static_cast<Integer>(i), "p" + std::to_string(i));
    std::string big = Bytes({0x80, 0x09, 0x05, 0x2D}) + std::string(295, 'x') + Bytes({0});
    stream += Bytes({static_cast<int>(big.size() & 0xFF), static_cast<int>(big.size() >> 8)}) + big;
    stream += BrickMessage(6, "after");
    c.comm->Deliver(stream);
    ASSERT_EQ(texts.size(), 6u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(texts[static_cast<std::size_t>(i)], WithNul("p" + std::to_string(i)));
    EXPECT_EQ(texts[5], WithNul("after"));
    EXPECT_EQ(c.sink.events.back(), (Event{Event::NewMail, 6}));
}

TEST_F(ReceiveResync, HeadersJustOutsideABricksRangeAreSkippedAlsoAcrossReads) {
    // 65 is one more than the longest telegram; 0 to 2 are shorter than the
    // shortest (a 3-byte reply), which is still taken as a packet.
    c.comm->Deliver(Bytes({0x41, 0x00}) + BrickMessage(1, "a"));
    c.comm->Deliver(Bytes({0x00, 0x00, 0x01, 0x00, 0x02, 0x00}) + BrickMessage(2, "b"));
    c.comm->Deliver(Bytes({0x03, 0x00, 0x02, 0x03, 0x00}) + BrickMessage(3, "c"));
    // A header split over two reads, garbage with its partner byte.
    c.comm->Deliver(Bytes({0x41}));
    c.comm->Deliver(Bytes({0x00}) + BrickMessage(4, "d"));
    c.comm->Deliver(BrickMessage(5, "e").substr(0, 1));
    c.comm->Deliver(BrickMessage(5, "e").substr(1));
    EXPECT_EQ(texts, (std::vector<std::string>{WithNul("a"), WithNul("b"), WithNul("c"),
                                               WithNul("d"), WithNul("e")}));
    EXPECT_TRUE(c.comm->Writes().empty());
}

TEST_F(ReceiveResync, HalfPacketOlderThanAWatchdogIntervalIsDropped) {
    for (Boolean ping : {kTrue, kFalse}) {
        c->PingNXT(ping);
        texts.clear();
        // Six bytes of a packet, then three intervals of silence.
        c.comm->Deliver(BrickMessage(1, "lost").substr(0, 6));
        c.timer->Advance(3 * Vostrel::kWatchdogInterval);
        for (int i = 0; i < 10; ++i) c.comm->Deliver(BrickMessage(2, "n" + std::to_string(i)));
        ASSERT_EQ(texts.size(), 10u) << "PingNXT " << ping.raw();
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(texts[static_cast<std::size_t>(i)], WithNul("n" + std::to_string(i)));
    }
    // A rest that comes within the interval still completes its packet.
    texts.clear();
    c.comm->Deliver(BrickMessage(3, "slow").substr(0, 6));
    c.timer->Advance(Vostrel::kWatchdogInterval - 1);
    c.comm->Deliver(BrickMessage(3, "slow").substr(6));
    EXPECT_EQ(texts, std::vector<std::string>{WithNul("slow")});
}

TEST(ReadText, NumbersAndSlots) {
    MemoryControl c;
    Integer box = -3;
    EXPECT_EQ(c->ReadText(box), "-1");
    EXPECT_EQ(box, 3);
    EXPECT_EQ(c->ReadText(3), "");
    for (Integer i = 0; i <= 9; ++i) EXPECT_EQ(c->ReadText(i), i == 3 ? "" : "-1");
    EXPECT_EQ(c->ReadText(0), "");
    EXPECT_EQ(c->ReadText(10), "Error!");
    box = -12;
    EXPECT_EQ(c->ReadText(box), "Error!");
    EXPECT_EQ(box, 12);
    EXPECT_EQ(c->ErrorMessage(), "") << "ReadText never sets the status";
}

TEST(ReadText, MostNegativeNumberOverflowsAndChangesNothing) {
    MemoryControl c;
    Integer box = -32768;
    try {
        c->ReadText(box);
        FAIL() << "no overflow";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kOverflow);
    }
    EXPECT_EQ(box, -32768);
}

// Property: any stream of valid packets, cut into reads at random points,
// delivers every message in order, nothing lost and nothing extra.
TEST(ReceiveFraming, RandomSplitsDeliverEveryMessageInOrder) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 50; ++round) {
        MemoryControl c;
        ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
        c.comm->ClearWrites();
        std::vector<std::pair<Integer, std::string>> sent, got;
        std::string expectedEchoes;
        c.sink.onNewMail = [&](Integer& box) { got.emplace_back(box, c->ReadText(box)); };
        std::string stream;
        const int count = 1 + static_cast<int>(rng() % 200);
        for (int i = 0; i < count; ++i) {
            std::string text(1 + rng() % 58, '\0');
            for (char& ch : text) ch = static_cast<char>(rng() % 256);
            if (text[0] == '?') text[0] = 'x';
            const auto box = static_cast<Integer>(rng() % 10);
            if (rng() % 5 == 0) {
                std::string q = "?" + text.substr(1);
                stream += BrickMessage(box, q);
                std::string echo = BrickMessage(box, q);
                for (std::size_t k = 2; k < echo.size(); ++k)
                    if (echo[k] == '?') echo[k] = '!';
                expectedEchoes += echo;
            } else {
                stream += BrickMessage(box, text);
                sent.emplace_back(box, WithNul(text));
            }
        }
        std::size_t pos = 0;
        while (pos < stream.size()) {
            std::size_t n = std::min<std::size_t>(stream.size() - pos, 1 + rng() % 40);
            c.comm->Deliver(stream.substr(pos, n));
            pos += n;
        }
        ASSERT_EQ(got, sent) << "round " << round;
        ASSERT_EQ(c.comm->Written(), expectedEchoes) << "round " << round;
    }
}

TEST(PacketSplitter, PendingNeverGrowsBeyondTheLongestPacket) {
    std::string pending;
    int packets = 0;
    auto count = [&](std::string_view) { return ++packets > 0; };
    // A header announcing the longest telegram is collected until complete.
    protocol::TakePackets(pending, Bytes({0x40, 0x00}) + std::string(63, 'a'), count);
    EXPECT_EQ(pending.size(), protocol::kMaxPending);
    protocol::TakePackets(pending, std::string(1, 'b'), count);
    EXPECT_EQ(packets, 1);
    EXPECT_TRUE(pending.empty());
    // One byte more is not a brick's: nothing waits for it.
    protocol::TakePackets(pending, Bytes({0x41, 0x00}) + std::string(300, 'c'), count);
    EXPECT_LE(pending.size(), 1u);
    EXPECT_EQ(packets, 1);
}
