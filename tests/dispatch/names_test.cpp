// Published names to dispatch ids, ignoring case.
#include <gtest/gtest.h>

#include <cctype>

#include "vostrel/dispatch.hpp"

namespace vostrel {
namespace {

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& ch : out) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return out;
}

TEST(NameLookup, MembersInAnyCase) {
    EXPECT_EQ(MemberId("SendText"), dispid::kSendText);
    EXPECT_EQ(MemberId("sendtext"), dispid::kSendText);
    EXPECT_EQ(MemberId("CONNECTNXT"), dispid::kConnectNXT);
    EXPECT_EQ(MemberId("pingnxt"), dispid::kPingNXT);
    EXPECT_EQ(MemberId("errormessage"), dispid::kErrorMessage);
    for (const auto& m : typelib::kMembers) EXPECT_EQ(MemberId(Upper(m.name)), m.id) << m.name;
}

TEST(NameLookup, UnknownNamesAreNotFound) {
    EXPECT_EQ(MemberId(""), std::nullopt);
    EXPECT_EQ(MemberId("SendTex"), std::nullopt);
    EXPECT_EQ(MemberId("SendTexts"), std::nullopt);
    EXPECT_EQ(MemberId("NewMail"), std::nullopt);  // an event, not a member
    EXPECT_EQ(EventId("SendText"), std::nullopt);
}

TEST(NameLookup, Events) {
    EXPECT_EQ(EventId("noping"), dispid::kNoPing);
    EXPECT_EQ(EventId("NEWMAIL"), dispid::kNewMail);
    EXPECT_EQ(ParameterId(dispid::kNewMail, "mailbox"), 0);
}

TEST(NameLookup, ParametersByPosition) {
    EXPECT_EQ(ParameterId(dispid::kSendText, "MAILBOX"), 0);
    EXPECT_EQ(ParameterId(dispid::kSendText, "mail"), 1);
    EXPECT_EQ(ParameterId(dispid::kSendValue, "value"), 1);
    EXPECT_EQ(ParameterId(dispid::kConnectNXT, "boudrate"), 1);
    EXPECT_EQ(ParameterId(dispid::kConnectNXT, "BaudRate"),
              std::nullopt);  // published spelling only
    EXPECT_EQ(ParameterId(dispid::kReadText, "msgbox"), 0);
    EXPECT_EQ(ParameterId(dispid::kReadText, "MailBox"), std::nullopt);
    EXPECT_EQ(ParameterId(dispid::kConnection, "new_connection"), 0);
    EXPECT_EQ(ParameterId(dispid::kDisconnectNXT, "x"), std::nullopt);
    EXPECT_EQ(ParameterId(0x12345678, "MailBox"), std::nullopt);
}

TEST(NameLookup, IdsOfNamesMarksEachUnknownName) {
    const std::string_view ok[] = {"readtext", "MSGBOX"};
    EXPECT_EQ(IdsOfNames(ok), (std::vector<DispId>{dispid::kReadText, 0}));
    const std::string_view partly[] = {"SendValue", "nope", "Value"};
    EXPECT_EQ(IdsOfNames(partly), (std::vector<DispId>{dispid::kSendValue, dispid::kUnknown, 1}));
    const std::string_view unknown[] = {"Nope", "MailBox"};
    EXPECT_EQ(IdsOfNames(unknown), (std::vector<DispId>{dispid::kUnknown, dispid::kUnknown}));
    EXPECT_TRUE(IdsOfNames({}).empty());
}

}  // namespace
}  // namespace vostrel
