// The three persisted properties, and the in-memory bag's text form.
#include <gtest/gtest.h>

#include <fstream>
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

TEST(PropertyBagText, EveryNameSetTakesSurvivesSaveAndLoad) {
    MemoryPropertyBag bag;
    const std::string names[] = {"",      "with space", "a=b",    "line\nbreak",
                                 "#hash", "quote\"",    "back\\", "\xff\x01",
                                 " lead", "tab\t",      "cr\r",   "Plain_9"};
    long n = 0;
    for (const auto& name : names) bag.Set(name, Long(++n));
    std::stringstream text;
    bag.Save(text);
    EXPECT_NE(text.str().find("\nPlain_9 = Long 12\n"), std::string::npos)
        << "plain names stay bare";
    MemoryPropertyBag back;
    back.Load(text);
    EXPECT_EQ(back.Entries(), bag.Entries());
    EXPECT_EQ(*back.Find("#hash"), Variant(Long(5)));
}

TEST(PropertyBagText, NamesDifferingOnlyInCaseAreOneEntry) {
    MemoryPropertyBag bag;
    bag.Set("Connection", kTrue);
    bag.Set("connection", kFalse);
    ASSERT_EQ(bag.Entries().size(), 1u);
    EXPECT_EQ(bag.Entries()[0].first, "connection");  // the latest spelling
    EXPECT_EQ(*bag.Find("CONNECTION"), Variant(kFalse));
    EXPECT_TRUE(bag.Remove("CoNnEcTiOn"));
    EXPECT_EQ(bag.Find("Connection"), nullptr);

    // A hand-edited file: the control finds its property whatever the case.
    std::istringstream edited("connection = Boolean -1\npingnxt = Boolean 0\n");
    bag.Load(edited);
    auto c = Bare(nullptr);
    c->UserControl_ReadProperties(bag);
    EXPECT_EQ(c->Connection(), kTrue);
    EXPECT_EQ(c->PingNXT(), kFalse);

    std::istringstream twice("Connection = Boolean -1\n\"connection\" = Boolean 0\n");
    try {
        bag.Load(twice);
        FAIL() << "a name given twice in two cases was taken";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kBadFileFormat);
        EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
    }
    EXPECT_EQ(bag.Entries().size(), 2u);
}

// A stream of `size` bytes of 'a' with no line break, counting what is read.
class EndlessLine : public std::streambuf {
public:
    explicit EndlessLine(std::size_t size) : left_(size) {}
    std::size_t taken = 0;

protected:
    int_type underflow() override {
        if (left_ == 0) return traits_type::eof();
        const std::size_t n = std::min(left_, sizeof chunk_);
        std::fill(chunk_, chunk_ + n, 'a');
        setg(chunk_, chunk_, chunk_ + n);
        left_ -= n;
        taken += n;
        return traits_type::to_int_type('a');
    }

private:
    std::size_t left_;
    char chunk_[4096];
};

TEST(PropertyBagText, ALineLongerThanTheLimitIsRefusedNotHeld) {
    MemoryPropertyBag bag;
    bag.Set("PingNXT", kFalse);
    EndlessLine fifty(50u << 20);
    std::istream in(&fifty);
    try {
        bag.Load(in);
        FAIL() << "a 50 MB line was taken";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kBadFileFormat);
        EXPECT_NE(std::string(e.what()).find("line 1"), std::string::npos) << e.what();
    }
    EXPECT_LE(fifty.taken, MemoryPropertyBag::kMaxLine + 8192);
    EXPECT_EQ(bag.Entries().size(), 1u);

    // What Save could not write in one line is refused by Set, and by Load
    // when raw bytes in a text would be escaped past the limit.
    EXPECT_THROW(bag.Set("ErrorMessage", String(MemoryPropertyBag::kMaxLine, 'x')), Error);
    EXPECT_EQ(bag.Find("ErrorMessage"), nullptr);
    std::istringstream raw("ErrorMessage = String \"" + std::string(300000, '\x01') + "\"\n");
    EXPECT_THROW(bag.Load(raw), Error);
    bag.Set("ErrorMessage", String(MemoryPropertyBag::kMaxLine / 4 - 64, '\x01'));
    std::stringstream text;
    bag.Save(text);
    MemoryPropertyBag back;
    back.Load(text);
    EXPECT_EQ(back.Entries(), bag.Entries());
}

TEST(PropertyBagText, AStreamThatFailedAlreadyIsAnErrorAndChangesNothing) {
    MemoryPropertyBag bag;
    bag.Set("PingNXT", kFalse);
    std::ifstream missing("no/such/vostrel.properties");
    EXPECT_THROW(bag.Load(missing), Error);
    EXPECT_EQ(bag.Entries().size(), 1u);
}

TEST(PropertyBagText, ManyEntriesLoadAndAreFound) {
    std::string text;
    for (int i = 0; i < 80000; ++i)
        text += "Entry" + std::to_string(i) + " = Long " + std::to_string(i) + "\n";
    std::istringstream in(text);
    MemoryPropertyBag bag;
    bag.Load(in);
    ASSERT_EQ(bag.Entries().size(), 80000u);
    EXPECT_EQ(*bag.Find("ENTRY79999"), Variant(Long(79999)));
    bag.Set("entry0", Long(-1));
    EXPECT_EQ(bag.Entries().size(), 80000u);
}
