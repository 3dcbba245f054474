// The persisted properties converted through Variant on restore and save,
// at the edges of the conversions.
#include <gtest/gtest.h>

#include "testsupport/memory_control.hpp"

namespace vostrel {
namespace {

using vostrel::testing::MemoryControl;

struct Restored {
    std::int16_t connection;
    String errorMessage;
    std::int16_t pingNXT;
    friend bool operator==(const Restored&, const Restored&) = default;
};

Restored Read(MemoryPropertyBag& bag) {
    MemoryControl c;
    c->UserControl_ReadProperties(bag);
    EXPECT_TRUE(c.host.changes.empty());
    return {c->Connection().raw(), c->ErrorMessage(), c->PingNXT().raw()};
}

TEST(BagRestore, BooleansByTheRuntimesConversion) {
    struct Case {
        Variant stored;
        std::int16_t expected;
    };
    const Case cases[] = {
        {Long(0), 0},          {Integer(2), -1}, {Long(-70000), -1},   {String("True"), -1},
        {String(" false"), 0}, {String("0"), 0}, {String("-0.5"), -1}, {Variant(), 0},
        {Boolean(1), 1},  // a stored Boolean comes back exactly as saved
    };
    for (const Case& k : cases) {
        MemoryPropertyBag bag;
        bag.Set("Connection", k.stored);
        bag.Set("PingNXT", k.stored);
        Restored r = Read(bag);
        EXPECT_EQ(r.connection, k.expected) << k.stored.ToString();
        EXPECT_EQ(r.pingNXT, k.expected) << k.stored.ToString();
    }
}

TEST(BagRestore, TextByTheRuntimesConversion) {
    const std::pair<Variant, String> cases[] = {
        {Integer(-32768), "-32768"}, {Long(7), "7"},  {kTrue, "True"},
        {kFalse, "False"},           {Variant(), ""}, {String("Ping error"), "Ping error"},
    };
    for (const auto& [stored, expected] : cases) {
        MemoryPropertyBag bag;
        bag.Set("ErrorMessage", stored);
        EXPECT_EQ(Read(bag).errorMessage, expected);
    }
}

TEST(BagRestore, UnconvertibleConnectionFailsAtThatEntryAndChangesNothing) {
    MemoryControl c;
    c->PingNXT(kFalse);
    c->ErrorMessage("before");
    MemoryPropertyBag bag;
    bag.Set("Connection", String("maybe"));
    bag.Set("ErrorMessage", String("saved"));
    bag.Set("PingNXT", kTrue);
    try {
        c->UserControl_ReadProperties(bag);
        FAIL() << "restore succeeded";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kTypeMismatch);
    }
    EXPECT_EQ(c->Connection(), kFalse);
    EXPECT_EQ(c->ErrorMessage(), "before");
    EXPECT_EQ(c->PingNXT(), kFalse);
}

TEST(BagRestore, UnconvertiblePingNXTKeepsTheEarlierEntriesNewValues) {
    MemoryControl c;
    c->ErrorMessage("before");
    MemoryPropertyBag bag;
    bag.Set("Connection", Integer(1));
    bag.Set("ErrorMessage", Long(12));
    bag.Set("PingNXT", String("yes"));
    EXPECT_THROW(c->UserControl_ReadProperties(bag), Error);
    EXPECT_EQ(c->Connection(), kTrue);
    EXPECT_EQ(c->ErrorMessage(), "12");
    EXPECT_EQ(c->PingNXT(), kTrue);  // as initialised, untouched by the failed entry
}

TEST(BagSave, WritesBooleansAndTextWithTheirTypesAndRestoresThem) {
    for (bool omitDefaults : {false, true}) {
        MemoryControl c;
        c->Connection(Boolean(1));
        c->ErrorMessage(String("a\0b", 3));
        c->PingNXT(kFalse);
        MemoryPropertyBag bag(omitDefaults);
        c->UserControl_WriteProperties(bag);
        ASSERT_NE(bag.Find("Connection"), nullptr);
        EXPECT_EQ(bag.Find("Connection")->type(), Variant::Type::Boolean);
        EXPECT_EQ(bag.Find("ErrorMessage")->type(), Variant::Type::String);
        EXPECT_EQ(bag.Find("PingNXT")->type(), Variant::Type::Boolean);
        EXPECT_EQ(Read(bag), (Restored{1, String("a\0b", 3), 0}));
    }
}

}  // namespace
}  // namespace vostrel
