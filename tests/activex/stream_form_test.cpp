// The stream form a container saves the control in: its exact bytes, and
// the damaged or foreign forms a load must refuse before changing anything.
#include "activex/stream_form.hpp"

#include <gtest/gtest.h>

namespace vostrel::activex {
namespace {

TEST(StreamForm, BytesAreTagVersionBooleansAndCountedText) {
    const SavedProperties p{Boolean(1), kTrue, "No errores"};
    const std::string bytes = EncodeStreamForm(p);
    const std::string expected =
        std::string("VSTL\x01\x00\x01\x00\xFF\xFF\x0A\x00\x00\x00", 14) + "No errores";
    EXPECT_EQ(bytes, expected);
    SavedProperties back{};
    EXPECT_EQ(DecodeStreamHeader(bytes.substr(0, kStreamHeaderSize), back), 10u);
    EXPECT_EQ(back.connection, Boolean(1));  // stored as passed, not normalised
    EXPECT_EQ(back.pingNXT, kTrue);
}

TEST(StreamForm, WhatCanBeSavedCanBeLoadedAndNothingLonger) {
    const std::string longest(kStreamMaxText, 'e');
    const std::string bytes = EncodeStreamForm({kFalse, kTrue, longest});
    SavedProperties back{};
    EXPECT_EQ(DecodeStreamHeader(bytes.substr(0, kStreamHeaderSize), back), kStreamMaxText);
    try {
        EncodeStreamForm({kFalse, kTrue, longest + "e"});
        ADD_FAILURE() << "a text no load takes back was encoded";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kInvalidArgument);
    }
}

TEST(StreamForm, ForeignNewerOrImplausibleHeadersAreRefused) {
    const std::string good = EncodeStreamForm({kFalse, kTrue, "x"}).substr(0, kStreamHeaderSize);
    SavedProperties p{};
    std::string foreign = good;
    foreign[0] = 'X';
    std::string newer = good;
    newer[4] = 2;
    std::string huge = good;
    huge[13] = 0x10;  // a text of 256 MiB
    for (const std::string& bad : {foreign, newer, huge, good.substr(0, 13)}) {
        try {
            DecodeStreamHeader(bad, p);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), err::kBadFileFormat);
        }
    }
}

}  // namespace
}  // namespace vostrel::activex
