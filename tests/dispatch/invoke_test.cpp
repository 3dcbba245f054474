// Every member of the default interface reached by dispatch id: results,
// status texts, write-backs into by-reference arguments and errors.
#include <gtest/gtest.h>

#include "tests/dispatch/dispatch_support.hpp"

namespace vostrel {
namespace {

using dispatch_test::Bytes;
using dispatch_test::Call;
using dispatch_test::Connect;
using dispatch_test::ErrorOf;
using vostrel::testing::MemoryControl;
constexpr auto kMethod = InvokeKind::Method;
constexpr auto kGet = InvokeKind::PropertyGet;
constexpr auto kPut = InvokeKind::PropertyPut;

// --- properties -------------------------------------------------------------

TEST(InvokeProperties, ConnectionStoresTheBooleanAsPassedAndNotifies) {
    MemoryControl c;
    EXPECT_EQ(Call(*c, dispid::kConnection, kGet), Variant(kFalse));
    EXPECT_EQ(Call(*c, dispid::kConnection, kPut, {Boolean(1)}), Variant());
    EXPECT_EQ(Call(*c, dispid::kConnection, kGet), Variant(Boolean(1)));
    EXPECT_EQ(Call(*c, dispid::kConnection, kMethod | kGet),
              Variant(Boolean(1)));  // as scripts call
    EXPECT_EQ(c.host.changes, std::vector<std::string>{"Connection"});
    EXPECT_EQ(c.comm->Opens(), 0);  // setting it opens nothing
}

TEST(InvokeProperties, GuardedSettersRefuseAtDesignTimeAndChangeNothing) {
    MemoryControl c;
    c.host.userMode = false;
    EXPECT_EQ(ErrorOf(*c, dispid::kConnection, kPut, {kTrue}), err::kSetNotPermitted);
    EXPECT_EQ(ErrorOf(*c, dispid::kErrorMessage, kPut, {"x"}), err::kSetNotPermitted);
    EXPECT_EQ(c->Connection(), kFalse);
    EXPECT_EQ(c->ErrorMessage(), "");
    EXPECT_TRUE(c.host.changes.empty());
    // PingNXT has no guard.
    Call(*c, dispid::kPingNXT, kPut, {kFalse});
    EXPECT_EQ(Call(*c, dispid::kPingNXT, kGet), Variant(kFalse));
    EXPECT_EQ(c.host.changes, std::vector<std::string>{"PingNXT"});
}

// --- SendValue ----------------------------------------------------------------

TEST(InvokeSendValue, SendsTheAbsoluteValueAndWritesItBack) {
    MemoryControl c;
    Connect(c);
    Integer mailBox = 0;
    Variant value = Long(-1000);  // a Variant variable holding a Long is written in place
    Variant r =
        Call(*c, dispid::kSendValue, kMethod, {Argument::Ref(mailBox), Argument::Ref(value)});
    EXPECT_EQ(r, Variant(Integer(0)));
    EXPECT_EQ(value, Variant(Long(1000)));
    EXPECT_EQ(mailBox, 0);
    EXPECT_EQ(c->ErrorMessage(), "No errores");
    EXPECT_EQ(c.comm->Written(), Bytes({0x09, 0x00, 0x80, 0x09, 0x00, 0x05, 0xE8, 0x03, 0, 0, 0}));
}

TEST(InvokeSendValue, RefusedMailboxLeavesValueUntouched) {
    MemoryControl c;
    Connect(c);
    for (Integer box : {Integer(-1), Integer(10)}) {
        Long value = -5;
        EXPECT_EQ(Call(*c, dispid::kSendValue, kMethod, {Argument::Ref(box), Argument::Ref(value)}),
                  Variant(Integer(1)));
        EXPECT_EQ(value, -5);
        EXPECT_EQ(c->ErrorMessage(), "Error parameters for send");
    }
    Long smallest = INT32_MIN;  // its absolute value does not fit
    EXPECT_EQ(Call(*c, dispid::kSendValue, kMethod, {Integer(2), Argument::Ref(smallest)}),
              Variant(Integer(1)));
    EXPECT_EQ(smallest, INT32_MIN);
    EXPECT_TRUE(c.comm->Writes().empty());
}

TEST(InvokeSendValue, ErrorOfTheFailurePathReachesTheCallerWithTheWriteBackDone) {
    MemoryControl c;
    c.host.userMode = false;  // the status setter refuses, in the failure path too
    Long value = -7;
    EXPECT_EQ(ErrorOf(*c, dispid::kSendValue, kMethod, {Integer(1), Argument::Ref(value)}),
              err::kSetNotPermitted);
    EXPECT_EQ(value, 7);
}

TEST(InvokeSendValue, ByValueArgumentsAreConvertedAndNotWrittenBack) {
    MemoryControl c;
    Connect(c);
    Variant value = String("-5");  // by value: a copy is converted
    EXPECT_EQ(Call(*c, dispid::kSendValue, kMethod, {String("3"), value}), Variant(Integer(0)));
    EXPECT_EQ(value, Variant(String("-5")));
    EXPECT_EQ(c.comm->Written(), Bytes({0x09, 0x00, 0x80, 0x09, 0x03, 0x05, 5, 0, 0, 0, 0}));
}

// --- SendText -----------------------------------------------------------------

TEST(InvokeSendText, NegativeMailboxIsSentAsItsAbsoluteValueAndWrittenBack) {
    MemoryControl c;
    Connect(c);
    Integer mailBox = -4;
    String mail = "hello";
    EXPECT_EQ(Call(*c, dispid::kSendText, kMethod, {Argument::Ref(mailBox), Argument::Ref(mail)}),
              Variant(Integer(0)));
    EXPECT_EQ(mailBox, 4);
    EXPECT_EQ(mail, "hello");
    EXPECT_EQ(c.comm->Written(),
              Bytes({0x0A, 0x00, 0x80, 0x09, 0x04, 0x06, 'h', 'e', 'l', 'l', 'o', 0x00}));
}

TEST(InvokeSendText, TooLongTextFailsBeforeTheMailboxIsTouched) {
    MemoryControl c;
    Connect(c);
    Integer mailBox = -12;
    EXPECT_EQ(Call(*c, dispid::kSendText, kMethod, {Argument::Ref(mailBox), String(59, 'x')}),
              Variant(Integer(1)));
    EXPECT_EQ(mailBox, -12);
    EXPECT_EQ(Call(*c, dispid::kSendText, kMethod, {Argument::Ref(mailBox), "x"}),
              Variant(Integer(1)));
    EXPECT_EQ(mailBox, 12);  // absolute value written, then refused as above 9
    EXPECT_EQ(c->ErrorMessage(), "Error parameters for send");
    EXPECT_TRUE(c.comm->Writes().empty());
}

// --- ConnectNXT and DisconnectNXT ----------------------------------------------

TEST(InvokeConnect, OpensThePortAndLeavesTheArgumentsAlone) {
    MemoryControl c;
    Integer port = 5;
    Integer rate = 9600;
    EXPECT_EQ(Call(*c, dispid::kConnectNXT, kMethod, {Argument::Ref(port), Argument::Ref(rate)}),
              Variant(Integer(0)));
    EXPECT_EQ(port, 5);
    EXPECT_EQ(rate, 9600);
    EXPECT_EQ(c.comm->CommPort(), 5);
    EXPECT_EQ(c.comm->Settings(), "9600,n,8,1");
    EXPECT_EQ(c.comm->Written(), Bytes({0x06, 0x00, 0x00, 0x03, 0xE8, 0x03, 0xF4, 0x01}));
    EXPECT_EQ(c->Connection(), kTrue);
    EXPECT_EQ(c->ErrorMessage(), "No errores");
    EXPECT_TRUE(c.timer->Enabled().IsTrue());
}

TEST(InvokeConnect, SpeedAboveAnIntegerIsAnOverflowBeforeAnythingHappens) {
    MemoryControl c;
    EXPECT_EQ(ErrorOf(*c, dispid::kConnectNXT, kMethod, {Integer(5), Long(57600)}), err::kOverflow);
    EXPECT_EQ(c.comm->Opens(), 0);
    EXPECT_EQ(c->ErrorMessage(), "");
}

TEST(InvokeConnect, DisconnectClosesAndStopsTheWatchdog) {
    MemoryControl c;
    Connect(c);
    EXPECT_EQ(Call(*c, dispid::kDisconnectNXT, kMethod), Variant(Integer(0)));
    EXPECT_EQ(c.comm->PortOpen(), kFalse);
    EXPECT_FALSE(c.timer->Enabled().IsTrue());
    EXPECT_EQ(c->ErrorMessage(), "No errores");
}

// --- ReadText -----------------------------------------------------------------

TEST(InvokeReadText, HandsOutTheSlotAndEmptiesIt) {
    MemoryControl c;
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {Integer(0)}), Variant(String("-1")));
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {Integer(0)}), Variant(String("")));
    Connect(c);
    c.comm->Deliver(Bytes({0x0A, 0x00, 0x80, 0x09, 0x03, 0x06, 'w', 'o', 'r', 'l', 'd', 0x00}));
    Integer box = -3;
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod | kGet, {Argument::Ref(box)}),
              Variant(Bytes({'w', 'o', 'r', 'l', 'd', 0x00})));
    EXPECT_EQ(box, 3);
    EXPECT_EQ(c->ReadText(3), "");
}

TEST(InvokeReadText, OutOfRangeGivesErrorTextAfterTheWriteBack) {
    MemoryControl c;
    Integer box = -12;
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {Argument::Ref(box)}),
              Variant(String("Error!")));
    EXPECT_EQ(box, 12);
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {Integer(10)}), Variant(String("Error!")));
    EXPECT_EQ(c->ErrorMessage(), "");
}

TEST(InvokeReadText, SmallestIntegerIsTheOverflowErrorAndChangesNothing) {
    MemoryControl c;
    Integer box = INT16_MIN;
    EXPECT_EQ(ErrorOf(*c, dispid::kReadText, kMethod, {Argument::Ref(box)}), err::kOverflow);
    EXPECT_EQ(box, INT16_MIN);
}

// --- refused calls ------------------------------------------------------------

TEST(InvokeRefused, UnknownDispatchIdIsMemberNotFound) {
    MemoryControl c;
    EXPECT_EQ(ErrorOf(*c, 0, kMethod), err::kMemberNotFound);
    EXPECT_EQ(ErrorOf(*c, dispid::kNewMail, kMethod, {Integer(1)}), err::kMemberNotFound);
    EXPECT_EQ(ErrorOf(*c, 0x60030005, kMethod), err::kMemberNotFound);
}

TEST(InvokeRefused, WrongKindIsMemberNotFound) {
    MemoryControl c;
    Connect(c);
    EXPECT_EQ(ErrorOf(*c, dispid::kSendText, kPut, {Integer(1)}), err::kMemberNotFound);
    EXPECT_EQ(ErrorOf(*c, dispid::kDisconnectNXT, kGet), err::kMemberNotFound);
    EXPECT_EQ(ErrorOf(*c, dispid::kConnection, kMethod), err::kMemberNotFound);
    EXPECT_EQ(c.comm->PortOpen(), kTrue);
}

TEST(InvokeRefused, PutCombinedWithAnotherKindOrNoKindIsInvalid) {
    MemoryControl c;
    EXPECT_EQ(ErrorOf(*c, dispid::kPingNXT, kPut | kGet, {kFalse}), err::kInvalidArgument);
    EXPECT_EQ(ErrorOf(*c, dispid::kPingNXT, static_cast<InvokeKind>(0)), err::kInvalidArgument);
    EXPECT_EQ(ErrorOf(*c, dispid::kPingNXT, static_cast<InvokeKind>(8)), err::kInvalidArgument);
    EXPECT_EQ(c->PingNXT(), kTrue);
}

TEST(InvokeRefused, WrongArgumentCountChangesNothing) {
    MemoryControl c;
    Connect(c);
    Long value = -9;
    EXPECT_EQ(ErrorOf(*c, dispid::kSendValue, kMethod, {Argument::Ref(value)}),
              err::kWrongArgumentCount);
    EXPECT_EQ(
        ErrorOf(*c, dispid::kSendValue, kMethod, {Integer(1), Argument::Ref(value), Integer(0)}),
        err::kWrongArgumentCount);
    EXPECT_EQ(ErrorOf(*c, dispid::kDisconnectNXT, kMethod, {Integer(0)}), err::kWrongArgumentCount);
    EXPECT_EQ(ErrorOf(*c, dispid::kPingNXT, kGet, {Integer(0)}), err::kWrongArgumentCount);
    EXPECT_EQ(ErrorOf(*c, dispid::kPingNXT, kPut), err::kWrongArgumentCount);
    EXPECT_EQ(value, -9);
    EXPECT_TRUE(c.comm->Writes().empty());
    EXPECT_EQ(c.comm->PortOpen(), kTrue);
    EXPECT_EQ(c->ErrorMessage(), "No errores");
}

TEST(InvokeRefused, ErrorTextNamesTheMemberAndArgument) {
    MemoryControl c;
    Long wrong = 1;
    try {
        Call(*c, dispid::kReadText, kMethod, {Argument::Ref(wrong)});
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kTypeMismatch);
        EXPECT_NE(std::string(e.what()).find("MsgBox"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("ReadText"), std::string::npos) << e.what();
    }
}

// --- late and direct binding agree ----------------------------------------------

// One script of calls made directly and by dispatch id on two controls; the
// results, status texts, write-backs, notifications and wire bytes agree.
TEST(InvokeMatchesDirect, SameScriptSameOutcome) {
    MemoryControl direct;
    MemoryControl late;
    std::vector<std::string> directResults, lateResults;
    auto record = [](std::vector<std::string>& out, MemoryControl& c, const Variant& r) {
        out.push_back(r.ToString() + "|" + c->ErrorMessage() + "|" +
                      std::to_string(c->Connection().raw()));
    };

    Integer p = 3, b = 19200;
    record(directResults, direct, Variant(direct->ConnectNXT(p, b)));
    record(lateResults, late,
           Call(*late, dispid::kConnectNXT, kMethod, {Integer(3), Integer(19200)}));

    for (Integer box : {Integer(-2), Integer(0), Integer(9), Integer(10), Integer(-32768)}) {
        for (Long v : {Long(-1), Long(0), Long(INT32_MIN), Long(INT32_MAX)}) {
            Integer db = box, lb = box;
            Long dv = v, lv = v;
            record(directResults, direct, Variant(direct->SendValue(db, dv)));
            record(
                lateResults, late,
                Call(*late, dispid::kSendValue, kMethod, {Argument::Ref(lb), Argument::Ref(lv)}));
            EXPECT_EQ(db, lb);
            EXPECT_EQ(dv, lv);
            String text(static_cast<std::size_t>((v & 0x3F)), '?');
            String dt = text, lt = text;
            record(directResults, direct, Variant(direct->SendText(db, dt)));
            record(lateResults, late,
                   Call(*late, dispid::kSendText, kMethod, {Argument::Ref(lb), Argument::Ref(lt)}));
            EXPECT_EQ(db, lb);
        }
        Integer db = box, lb = box;
        if (box != INT16_MIN) {
            record(directResults, direct, Variant(direct->ReadText(db)));
            record(lateResults, late, Call(*late, dispid::kReadText, kMethod, {Argument::Ref(lb)}));
            EXPECT_EQ(db, lb);
        }
    }
    record(directResults, direct, Variant(direct->DisconnectNXT()));
    record(lateResults, late, Call(*late, dispid::kDisconnectNXT, kMethod));

    EXPECT_EQ(directResults, lateResults);
    EXPECT_EQ(direct.comm->Writes(), late.comm->Writes());
    EXPECT_EQ(direct.host.changes, late.host.changes);
}

}  // namespace
}  // namespace vostrel
