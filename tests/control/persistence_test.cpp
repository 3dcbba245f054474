// The three persisted properties, and the in-memory bag's text form.
#include <gtest/gtest.h>

#include <sstream>

#include "testsupport/memory_control.hpp"

using namespace vostrel;
using vostrel::testing::MemoryComm;
using vostrel::testing::MemoryControl;
using vostrel::testing::MemoryTimer;
using vostrel::testing::RecordingHost;

namespace {
std::unique_ptr<Vostrel> Bare(RecordingHost* host) {
    return std::make_unique<Vostrel>(std::make_unique<MemoryComm>(),
                                     std::make_unique<MemoryTimer>(), host);
}
}  // namespace

TEST(Persistence, EmptyBagGivesTheDefaults) {
    RecordingHost host;
    host.userMode = false;  // restoring ignores the guard
    auto v = Bare(&host);
    MemoryPropertyBag bag;
    v->UserControl_ReadProperties(bag);
    EXPECT_EQ(v->Connection(), kFalse);
    EXPECT_EQ(v->ErrorMessage(), "");
    EXPECT_EQ(v->PingNXT(), kTrue);
    EXPECT_TRUE(host.changes.empty()) << "no notification on restore";
}

TEST(Persistence, SaveAfterConnectAndRestoreOpensNothing) {
    MemoryControl c;
    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    MemoryPropertyBag bag;
    c->UserControl_WriteProperties(bag);
    ASSERT_EQ(bag.Entries().size(), 3u);
    EXPECT_EQ(bag.Entries()[0].first, "Connection");
    EXPECT_EQ(bag.Entries()[1].first, "ErrorMessage");
    EXPECT_EQ(bag.Entries()[2].first, "PingNXT");
    EXPECT_EQ(*bag.Find("Connection"), Variant(kTrue));
    EXPECT_EQ(*bag.Find("ErrorMessage"), Variant("No errores"));

    RecordingHost host;
    host.userMode = false;
    auto restored = Bare(&host);
    restored->UserControl_ReadProperties(bag);
    EXPECT_EQ(restored->Connection(), kTrue);
    EXPECT_EQ(restored->ErrorMessage(), "No errores");
    EXPECT_EQ(restored->Comm1().PortOpen(), kFalse);
    EXPECT_EQ(restored->PingTimer().Enabled(), kFalse);
}

TEST(Persistence, DefaultsRoundTripWhetherOrNotStored) {
    for (bool omit : {false, true}) {
        MemoryControl c;
        MemoryPropertyBag bag(omit);
        c->UserControl_WriteProperties(bag);
        EXPECT_EQ(bag.Entries().size(), omit ? 0u : 3u);
        MemoryControl d;
        d->PingNXT(kFalse);
        d->UserControl_ReadProperties(bag);
        EXPECT_EQ(d->Connection(), kFalse);
        EXPECT_EQ(d->ErrorMessage(), "");
        EXPECT_EQ(d->PingNXT(), kTrue);
    }
}

TEST(Persistence, StoredValuesAreConvertedAsTheRuntimeDoes) {
    MemoryPropertyBag bag;
    bag.Set("Connection", Integer(5));
    bag.Set("ErrorMessage", Long(42));
    bag.Set("PingNXT", "False");
    MemoryControl c;
    c->UserControl_ReadProperties(bag);
    EXPECT_EQ(c->Connection(), kTrue);
    EXPECT_EQ(c->ErrorMessage(), "42");
    EXPECT_EQ(c->PingNXT(), kFalse);
}

TEST(Persistence, UnconvertibleEntryStopsTheRestoreThere) {
    MemoryPropertyBag bag;
    bag.Set("Connection", kTrue);
    bag.Set("ErrorMessage", "restored");
    bag.Set("PingNXT", "maybe");
    MemoryControl c;
    try {
        c->UserControl_ReadProperties(bag);
        FAIL() << "no type mismatch";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kTypeMismatch);
    }
    EXPECT_EQ(c->Connection(), kTrue);
    EXPECT_EQ(c->ErrorMessage(), "restored");
    EXPECT_EQ(c->PingNXT(), kTrue) << "the failing entry keeps its old value";
}

TEST(PropertyBagText, RoundTripsEveryTypeAndByte) {
    MemoryPropertyBag bag;
    std::string odd = "a\"b\\c";
    odd += std::string("\x00\x7F\xFF\n", 4);
    bag.Set("ErrorMessage", odd);
    bag.Set("Connection", Boolean(1));
    bag.Set("Count", Long(-2147483647 - 1));
    bag.Set("Small", Integer(-32768));
    bag.Set("Nothing", Variant());
    std::stringstream text;
    bag.Save(text);
    MemoryPropertyBag back;
    back.Load(text);
    EXPECT_EQ(back.Entries(), bag.Entries());
}

TEST(PropertyBagText, MalformedStreamNamesTheLineAndChangesNothing) {
    MemoryPropertyBag bag;
    bag.Set("PingNXT", kFalse);
    const char* bad[] = {
        "Connection = Boolean -1\nErrorMessage = String \"open\n",
        "# comment\n\nConnection = Boolean -1\nPingNXT Boolean -1\n",
        "Connection = Boolean -1\n\nPingNXT = Integer 40000\n",
        "Connection = Boolean -1\nConnection = Boolean 0\nX = Long 1\n",
        "A = Text \"x\"\nB = Long 1\nC = Long 2\n",
    };
    const char* lines[] = {"line 2", "line 4", "line 3", "line 2", "line 1"};
    for (int i = 0; i < 5; ++i) {
        std::istringstream in(bad[i]);
        try {
            bag.Load(in);
            FAIL() << "accepted: " << bad[i];
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), err::kBadFileFormat);
            EXPECT_NE(std::string(e.what()).find(lines[i]), std::string::npos) << e.what();
        }
        ASSERT_EQ(bag.Entries().size(), 1u);
        EXPECT_EQ(*bag.Find("PingNXT"), Variant(kFalse));
    }
}
