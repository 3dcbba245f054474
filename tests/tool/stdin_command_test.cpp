// Parsing listen's stdin lines.
#include "tool/stdin_command.hpp"

#include <gtest/gtest.h>

namespace vostrel::tool {
namespace {

using K = StdinCommand::Kind;

TEST(StdinCommand, TextKeepsTheRestOfTheLineVerbatim) {
    StdinCommand c = ParseCommand("text 3 hello  world \r");
    EXPECT_EQ(c.kind, K::Text);
    EXPECT_EQ(c.mailbox, 3);
    EXPECT_EQ(c.text, "hello  world ");
    EXPECT_EQ(ParseCommand("text 3").text, "");
    EXPECT_EQ(ParseCommand("text 3 ").kind, K::Text);
}

TEST(StdinCommand, ValueReadAndBareCommands) {
    StdinCommand c = ParseCommand("value 2 2147483647");
    EXPECT_EQ(c.kind, K::Value);
    EXPECT_EQ(c.value, INT32_MAX);
    EXPECT_EQ(ParseCommand("read 9").mailbox, 9);
    EXPECT_EQ(ParseCommand("read 0").kind, K::Read);
    EXPECT_EQ(ParseCommand("disconnect").kind, K::Disconnect);
    EXPECT_EQ(ParseCommand("connect").kind, K::Connect);
    EXPECT_EQ(ParseCommand("quit\r").kind, K::Quit);
    EXPECT_EQ(ParseCommand("   ").kind, K::Empty);
    EXPECT_EQ(ParseCommand("").kind, K::Empty);
}

TEST(StdinCommand, BadLinesSayWhy) {
    for (const char* line : {"send 1 x",
                             "text",
                             "text x hi",
                             "text 40000 hi",
                             "text 1x hi",
                             "value 1",
                             "value 1 2147483648",
                             "value 1 12abc",
                             "value 1 +3",
                             "read",
                             "read 1 2",
                             "quit now",
                             "TEXT 1 a",
                             "text 10 x",
                             "text -4 x",
                             "text -0x x",
                             "value 2 -7",
                             "value 1 -2147483648",
                             "read 12",
                             "read -32768",
                             "read -1"}) {
        StdinCommand c = ParseCommand(line);
        EXPECT_EQ(c.kind, K::Bad) << line;
        EXPECT_FALSE(c.error.empty()) << line;
    }
}

TEST(StdinCommand, RangesAreTheToolsOwnAndTheErrorNamesThem) {
    EXPECT_NE(ParseCommand("text -3 x").error.find("0 to 9"), std::string::npos);
    EXPECT_NE(ParseCommand("value 1 -5").error.find("0 to 2147483647"), std::string::npos);
    EXPECT_EQ(ParseCommand("text 1 " + std::string(58, 'a')).kind, K::Text);
    const StdinCommand tooLong = ParseCommand("text 1 " + std::string(59, 'a'));
    EXPECT_EQ(tooLong.kind, K::Bad);
    EXPECT_NE(tooLong.error.find("58 bytes"), std::string::npos);
}

}  // namespace
}  // namespace vostrel::tool
