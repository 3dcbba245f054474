// Parsing listen's stdin lines.
#include <gtest/gtest.h>

#include "tool/stdin_command.hpp"

namespace vostrel::tool {
namespace {

using K = StdinCommand::Kind;

TEST(StdinCommand, TextKeepsTheRestOfTheLineVerbatim) {
    StdinCommand c = ParseCommand("text 3 hello  world \r");
    EXPECT_EQ(c.kind, K::Text);
    EXPECT_EQ(c.mailbox, 3);
    EXPECT_EQ(c.text, "hello  world ");
    EXPECT_EQ(ParseCommand("text -4 x").mailbox, -4);  // the control decides what -4 means
    EXPECT_EQ(ParseCommand("text 3").text, "");
    EXPECT_EQ(ParseCommand("text 3 ").kind, K::Text);
}

TEST(StdinCommand, ValueReadAndBareCommands) {
    StdinCommand c = ParseCommand("value 2 -2147483648");
    EXPECT_EQ(c.kind, K::Value);
    EXPECT_EQ(c.value, INT32_MIN);
    EXPECT_EQ(ParseCommand("read 12").mailbox, 12);
    EXPECT_EQ(ParseCommand("read -32768").kind, K::Read);
    EXPECT_EQ(ParseCommand("disconnect").kind, K::Disconnect);
    EXPECT_EQ(ParseCommand("connect").kind, K::Connect);
    EXPECT_EQ(ParseCommand("quit\r").kind, K::Quit);
    EXPECT_EQ(ParseCommand("   ").kind, K::Empty);
    EXPECT_EQ(ParseCommand("").kind, K::Empty);
}

TEST(StdinCommand, BadLinesSayWhy) {
    for (const char* line : {"send 1 x", "text", "text x hi", "text 40000 hi", "text 1x hi", "value 1",
                             "value 1 2147483648", "value 1 12abc", "value 1 +3", "read", "read 1 2", "quit now",
                             "TEXT 1 a"}) {
        StdinCommand c = ParseCommand(line);
        EXPECT_EQ(c.kind, K::Bad) << line;
        EXPECT_FALSE(c.error.empty()) << line;
    }
}

}  // namespace
}  // namespace vostrel::tool
