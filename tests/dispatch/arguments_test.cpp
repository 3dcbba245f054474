// Arguments of late-bound calls: by-value arguments converted as Automation
// converts, at the edges of each type; by-reference arguments of exactly the
// parameter's type or refused with nothing changed.
#include <gtest/gtest.h>

#include "tests/dispatch/dispatch_support.hpp"

namespace vostrel {
namespace {

using dispatch_test::Call;
using dispatch_test::Connect;
using dispatch_test::ErrorOf;
using vostrel::testing::MemoryControl;
constexpr auto kMethod = InvokeKind::Method;
constexpr auto kGet = InvokeKind::PropertyGet;
constexpr auto kPut = InvokeKind::PropertyPut;

TEST(ArgumentForms, ByValueAndByReferenceReportTheirType) {
    Integer i = 4;
    Variant v = String("x");
    EXPECT_FALSE(Argument(Long(1)).IsByRef());
    EXPECT_EQ(Argument(true).Value(), Variant(kTrue));  // not the number 1
    EXPECT_TRUE(Argument::Ref(i).IsByRef());
    EXPECT_EQ(Argument::Ref(i).type(), Variant::Type::Integer);
    EXPECT_EQ(Argument::Ref(v).type(), Variant::Type::String);
    EXPECT_EQ(Argument::Ref(i).RefTo<Integer>(), &i);
    EXPECT_EQ(Argument::Ref(i).RefTo<Long>(), nullptr);
    EXPECT_EQ(Argument::Ref(v).RefTo<String>(), v.Get<String>());
    EXPECT_EQ(Argument(Integer(1)).RefTo<Integer>(), nullptr);
}

// Integer parameters, through ReadText (whose slot shows whether it ran).
TEST(IntegerConversion, NumbersThatFitAreTakenOthersOverflow) {
    MemoryControl c;
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {Long(32767)}), Variant(String("Error!")));
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {Long(-32767)}), Variant(String("Error!")));
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {Long(9)}), Variant(String("-1")));
    EXPECT_EQ(ErrorOf(*c, dispid::kReadText, kMethod, {Long(32768)}), err::kOverflow);
    EXPECT_EQ(ErrorOf(*c, dispid::kReadText, kMethod, {Long(-32769)}), err::kOverflow);
    // -32768 fits an Integer; its absolute value is the method's own overflow.
    EXPECT_EQ(ErrorOf(*c, dispid::kReadText, kMethod, {Long(-32768)}), err::kOverflow);
}

TEST(IntegerConversion, TextsAreReadAsNumbersRoundingHalfToEven) {
    MemoryControl c;
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {" 1 "}), Variant(String("-1")));
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {"2.5"}), Variant(String("-1")));  // slot 2
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {"2"}), Variant(String("")));      // taken
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {"3.5"}), Variant(String("-1")));  // slot 4
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {"4"}), Variant(String("")));
    EXPECT_EQ(ErrorOf(*c, dispid::kReadText, kMethod, {"five"}), err::kTypeMismatch);
    EXPECT_EQ(ErrorOf(*c, dispid::kReadText, kMethod, {""}), err::kTypeMismatch);
    EXPECT_EQ(ErrorOf(*c, dispid::kReadText, kMethod, {"32767.5"}), err::kOverflow);
}

TEST(IntegerConversion, EmptyIsZeroAndTrueIsMinusOne) {
    MemoryControl c;
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {Variant()}), Variant(String("-1")));
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {Variant()}), Variant(String("")));
    EXPECT_EQ(Call(*c, dispid::kReadText, kMethod, {kTrue}), Variant(String("-1")));  // slot 1
    EXPECT_EQ(c->ReadText(1), "");
}

// Long parameters, through SendValue's Value.
TEST(LongConversion, EdgesOfTheLongRange) {
    MemoryControl c;
    Connect(c);
    EXPECT_EQ(Call(*c, dispid::kSendValue, kMethod, {Integer(0), "2147483647"}),
              Variant(Integer(0)));
    EXPECT_EQ(ErrorOf(*c, dispid::kSendValue, kMethod, {Integer(0), "2147483648"}), err::kOverflow);
    EXPECT_EQ(ErrorOf(*c, dispid::kSendValue, kMethod, {Integer(0), "1,000"}), err::kTypeMismatch);
    EXPECT_EQ(Call(*c, dispid::kSendValue, kMethod, {Integer(0), Integer(-32768)}),
              Variant(Integer(0)));
    EXPECT_EQ(c.comm->Writes().size(), 2u);
}

// Boolean parameters, through the PingNXT setter (no guard).
TEST(BooleanConversion, NonzeroNumbersAreTrueBooleansAreKeptAsPassed) {
    MemoryControl c;
    auto put = [&](Argument a) {
        Call(*c, dispid::kPingNXT, kPut, {a});
        return c->PingNXT().raw();
    };
    EXPECT_EQ(put(Integer(2)), -1);
    EXPECT_EQ(put(Long(0)), 0);
    EXPECT_EQ(put(Long(-70000)), -1);
    EXPECT_EQ(put(" true "), -1);
    EXPECT_EQ(put("FALSE"), 0);
    EXPECT_EQ(put("0.5"), -1);
    EXPECT_EQ(put(Variant()), 0);
    EXPECT_EQ(put(Boolean(1)), 1);  // a Boolean is stored exactly as passed
    EXPECT_EQ(ErrorOf(*c, dispid::kPingNXT, kPut, {"yes"}), err::kTypeMismatch);
    EXPECT_EQ(c->PingNXT().raw(), 1);
}

// String parameters, through the ErrorMessage setter.
TEST(StringConversion, NumbersAndBooleansBecomeTheirText) {
    MemoryControl c;
    auto put = [&](Argument a) {
        Call(*c, dispid::kErrorMessage, kPut, {a});
        return c->ErrorMessage();
    };
    EXPECT_EQ(put(Integer(-32768)), "-32768");
    EXPECT_EQ(put(Long(2147483647)), "2147483647");
    EXPECT_EQ(put(kTrue), "True");
    EXPECT_EQ(put(kFalse), "False");
    EXPECT_EQ(put(Variant()), "");
}

TEST(ByReference, ByValueParameterReadsThroughTheReference) {
    MemoryControl c;
    Integer seven = 7;
    String text = "status";
    Call(*c, dispid::kErrorMessage, kPut, {Argument::Ref(seven)});
    EXPECT_EQ(c->ErrorMessage(), "7");
    Call(*c, dispid::kErrorMessage, kPut, {Argument::Ref(text)});
    EXPECT_EQ(c->ErrorMessage(), "status");
}

TEST(ByReference, WrongTypeIsATypeMismatchAndNothingRuns) {
    MemoryControl c;
    Connect(c);
    Long longBox = 1;
    Boolean boolBox = kTrue;
    Variant variantLong = Long(2);
    Integer intValue = -5;
    Integer box = -3;
    // A Long variable where an Integer is taken by reference, even one that fits.
    EXPECT_EQ(ErrorOf(*c, dispid::kSendValue, kMethod, {Argument::Ref(longBox), Long(1)}),
              err::kTypeMismatch);
    EXPECT_EQ(ErrorOf(*c, dispid::kReadText, kMethod, {Argument::Ref(boolBox)}),
              err::kTypeMismatch);
    EXPECT_EQ(ErrorOf(*c, dispid::kReadText, kMethod, {Argument::Ref(variantLong)}),
              err::kTypeMismatch);
    // Integer variable for SendValue's Long: refused before the mailbox is used.
    EXPECT_EQ(ErrorOf(*c, dispid::kSendValue, kMethod, {Integer(1), Argument::Ref(intValue)}),
              err::kTypeMismatch);
    // SendText: the second argument is refused, so the first is not written back.
    EXPECT_EQ(
        ErrorOf(*c, dispid::kSendText, kMethod, {Argument::Ref(box), Argument::Ref(intValue)}),
        err::kTypeMismatch);
    EXPECT_EQ(box, -3);
    EXPECT_EQ(intValue, -5);
    EXPECT_EQ(variantLong, Variant(Long(2)));
    EXPECT_TRUE(c.comm->Writes().empty());
    EXPECT_EQ(c->ErrorMessage(), "No errores");
    EXPECT_EQ(Call(*c, dispid::kReadText, kGet | kMethod, {Integer(2)}), Variant(String("-1")));
}

}  // namespace
}  // namespace vostrel
