// The control's events delivered to a dispatch sink by their dispatch ids.
#include <gtest/gtest.h>

#include <functional>

#include "tests/dispatch/dispatch_support.hpp"

namespace vostrel {
namespace {

using dispatch_test::Bytes;
using dispatch_test::Call;
using dispatch_test::Connect;
using vostrel::testing::MemoryControl;

struct Delivered {
    DispId id;
    std::vector<Variant> values;
    std::vector<bool> byRef;
};

class RecordingDispatchSink : public DispatchSink {
public:
    std::vector<Delivered> delivered;
    std::function<void(DispId, std::span<Argument>)> then;

    void Invoke(DispId event, std::span<Argument> args) override {
        Delivered d{event, {}, {}};
        for (const Argument& a : args) {
            d.values.push_back(a.Value());
            d.byRef.push_back(a.IsByRef());
        }
        delivered.push_back(d);
        if (then) then(event, args);
    }
};

struct EventsFixture : ::testing::Test {
    MemoryControl c;
    RecordingDispatchSink sink;
    DispatchEvents events{sink};
    void SetUp() override { c->SetEventSink(&events); }
};

TEST_F(EventsFixture, NewMailCarriesTheMailboxByReference) {
    Connect(c);
    c.comm->Deliver(Bytes({0x06, 0x00, 0x80, 0x09, 0x07, 0x02, 'A', 0x00}));
    ASSERT_EQ(sink.delivered.size(), 1u);
    EXPECT_EQ(sink.delivered[0].id, dispid::kNewMail);
    EXPECT_EQ(sink.delivered[0].values, std::vector<Variant>{Variant(Integer(7))});
    EXPECT_EQ(sink.delivered[0].byRef, std::vector<bool>{true});
}

TEST_F(EventsFixture, NoPingHasNoArgumentsAndComesEveryInterval) {
    Connect(c);
    c.timer->Advance(35000);
    ASSERT_EQ(sink.delivered.size(), 3u);
    for (const Delivered& d : sink.delivered) {
        EXPECT_EQ(d.id, dispid::kNoPing);
        EXPECT_TRUE(d.values.empty());
    }
    EXPECT_EQ(c->ErrorMessage(), "Ping error");
}

TEST_F(EventsFixture, HandlerMayWriteTheArgumentAndCallBackByDispatchId) {
    Connect(c);
    Variant text;
    sink.then = [&](DispId id, std::span<Argument> args) {
        ASSERT_EQ(id, dispid::kNewMail);
        Integer* box = args[0].RefTo<Integer>();
        ASSERT_NE(box, nullptr);
        text = Call(*c, dispid::kReadText, InvokeKind::Method, {Argument::Ref(*box)});
        *box = 9;  // has no effect on the control
    };
    c.comm->Deliver(Bytes({0x06, 0x00, 0x80, 0x09, 0x01, 0x02, 'A', 0x00}));
    EXPECT_EQ(text, Variant(Bytes({'A', 0x00})));
    EXPECT_EQ(c->ReadText(9), "-1");
    EXPECT_EQ(c->ReadText(1), "");
}

TEST_F(EventsFixture, ThrowingSinkGoesToTheHostAndLaterEventsStillCome) {
    Connect(c);
    sink.then = [](DispId, std::span<Argument>) { throw Error(err::kHostFailure, "sink failed"); };
    c.comm->Deliver(Bytes({0x06, 0x00, 0x80, 0x09, 0x01, 0x02, 'A', 0x00}));
    EXPECT_EQ(c.host.errors.size(), 1u);
    sink.then = nullptr;
    c.comm->Deliver(Bytes({0x06, 0x00, 0x80, 0x09, 0x02, 0x02, 'B', 0x00}));
    EXPECT_EQ(sink.delivered.size(), 2u);
    EXPECT_EQ(c->ReadText(2), Bytes({'B', 0x00}));
}

}  // namespace
}  // namespace vostrel
