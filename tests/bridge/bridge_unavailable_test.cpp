// What `vostrel bridge` says in a build without libmosquitto.
#include <gtest/gtest.h>

#include "tool/commands.hpp"

TEST(BridgeUnavailable, SaysWhatIsMissingAndFails) {
    testing::internal::CaptureStderr();
    const int status = vostrel::tool::RunBridge({});
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    EXPECT_NE(said.find("without libmosquitto"), std::string::npos) << said;
    EXPECT_NE(said.find("libmosquitto-dev"), std::string::npos) << said;
}
