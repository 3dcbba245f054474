// The control object: creation, the property accessors with their run-mode
// guard and change notifications, arguments passed by reference.
#include <gtest/gtest.h>

#include "tests/control/bytes.hpp"
#include "testsupport/memory_control.hpp"

using namespace vostrel;
using vostrel::testing::MemoryComm;
using vostrel::testing::MemoryControl;
using vostrel::testing::MemoryTimer;

TEST(Creation, MailboxesHoldMinusOneAndNothingIsTouched) {
    auto comm = std::make_unique<MemoryComm>();
    auto timer = std::make_unique<MemoryTimer>();
    MemoryComm* c = comm.get();
    MemoryTimer* t = timer.get();
    Vostrel v(std::move(comm), std::move(timer));
    EXPECT_EQ(v.Connection(), kFalse);
    EXPECT_EQ(v.ErrorMessage(), "");
    EXPECT_EQ(v.PingNXT(), kFalse) << "the default comes from initialising";
    EXPECT_EQ(c->Opens(), 0);
    EXPECT_EQ(t->Enabled(), kFalse);
    EXPECT_EQ(t->Interval(), 10000);
    for (Integer i = 0; i <= 9; ++i) EXPECT_EQ(v.ReadText(i), "-1");
}

TEST(Creation, NeedsBothComponents) {
    EXPECT_THROW(Vostrel(nullptr, std::make_unique<MemoryTimer>()), Error);
}

TEST(Properties, GuardedSettersRefuseInDesignMode) {
    MemoryControl c;
    c.host.userMode = false;
    for (auto set : {std::function<void()>([&] { c->Connection(kTrue); }),
                     std::function<void()>([&] { c->ErrorMessage("x"); })}) {
        try {
            set();
            FAIL() << "no refusal";
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), 387);
        }
    }
    EXPECT_EQ(c->Connection(), kFalse);
    EXPECT_EQ(c->ErrorMessage(), "");
    EXPECT_TRUE(c.host.changes.empty());
    c->PingNXT(kFalse);
    EXPECT_EQ(c->PingNXT(), kFalse);
    EXPECT_EQ(c.host.changes, std::vector<std::string>{"PingNXT"});
}

TEST(Properties, RunModeSettersStoreExactlyAndNotify) {
    MemoryControl c;
    c->Connection(kTrue);
    EXPECT_EQ(c->Connection(), kTrue);
    EXPECT_EQ(c.comm->Opens(), 0) << "the setter opens nothing";
    c->Connection(Boolean(1));
    EXPECT_EQ(c->Connection().raw(), 1);
    c->PingNXT(Boolean(0x1234));
    EXPECT_EQ(c->PingNXT().raw(), 0x1234);
    c->ErrorMessage("");
    EXPECT_EQ(c.host.changes,
              (std::vector<std::string>{"Connection", "Connection", "PingNXT", "ErrorMessage"}));
}

TEST(Properties, HostFailuresLeaveTheSetter) {
    MemoryControl c;
    c.host.failNotification = true;
    EXPECT_THROW(c->ErrorMessage("stored"), Error);
    EXPECT_EQ(c->ErrorMessage(), "stored") << "the value is stored before the notification";
    c.host.failNotification = false;
    c.host.failUserMode = true;
    EXPECT_THROW(c->Connection(kTrue), Error);
    EXPECT_EQ(c->Connection(), kFalse);
}

TEST(Properties, CppBoolMapsToCanonicalBoolean) {
    MemoryControl c;
    c->PingNXT(true);
    EXPECT_EQ(c->PingNXT().raw(), -1);
    EXPECT_TRUE(c->PingNXT().IsTrue());
    c->PingNXT(false);
    EXPECT_EQ(c->PingNXT().raw(), 0);
}

TEST(ByReference, LiteralsAndVariablesBothWork) {
    MemoryControl c;
    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    const Integer constBox = -2;
    EXPECT_EQ(c->SendText(constBox, std::string("const")), 0);
    EXPECT_EQ(constBox, -2);
    Integer box = -2;
    std::string mail = "var";
    EXPECT_EQ(c->SendText(box, mail), 0);
    EXPECT_EQ(box, 2);
    EXPECT_EQ(mail, "var");
    EXPECT_EQ(c->SendValue(Integer(1 + 1), 40 + 2), 0);
    static_assert(!std::is_constructible_v<ByRef<Integer>, int&>,
                  "a variable of another type would lose its write-back");
    static_assert(std::is_constructible_v<ByRef<Integer>, int>);
    static_assert(std::is_constructible_v<ByRef<String>, const char(&)[4]>);
}

TEST(Reentry, HandlersMayCallEveryMember) {
    MemoryControl c;
    ASSERT_EQ(c->ConnectNXT(1, 9600), 0);
    c.comm->ClearWrites();
    std::vector<Integer> results;
    c.sink.onNewMail = [&](Integer& box) {
        std::string text = c->ReadText(box);
        results.push_back(c->SendText(box, "got " + text.substr(0, text.find('\0'))));
        results.push_back(c->SendValue(box, 7));
        results.push_back(c->DisconnectNXT());
        results.push_back(c->ConnectNXT(1, 9600));
    };
    c.comm->Deliver(vostrel::testing::BrickMessage(4, "hi"));
    EXPECT_EQ(results, (std::vector<Integer>{0, 0, 0, 0}));
    ASSERT_EQ(c.comm->Writes().size(), 3u);
    EXPECT_EQ(c.comm->Writes()[0], vostrel::testing::BrickMessage(4, "got hi"));
    EXPECT_EQ(c.timer->Enabled(), kTrue) << "reconnected: the watchdog runs again";
}

TEST(ErrorType, CarriesNumberAndStandardText) {
    Error e(err::kOverflow);
    EXPECT_EQ(e.Number(), 6);
    EXPECT_STREQ(e.what(), "Overflow");
    EXPECT_STREQ(Error(err::kSetNotPermitted).what(), "Set not permitted");
}

TEST(ErrorType, VariantOfCppBoolIsABoolean) {
    EXPECT_EQ(Variant(true).type(), Variant::Type::Boolean);
    EXPECT_EQ(Variant(true), Variant(kTrue));
    EXPECT_EQ(Variant(false).ToString(), "False");
    EXPECT_STREQ(Error(438).what(), "Object doesn't support this property or method");
}
