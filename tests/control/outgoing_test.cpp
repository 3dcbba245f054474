#include <gtest/gtest.h>

#include "testsupport/memory_control.hpp"
TEST(Smoke, Builds) { vostrel::testing::MemoryControl c; EXPECT_EQ(c->ReadText(0), "-1"); }
