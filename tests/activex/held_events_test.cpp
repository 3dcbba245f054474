// The events a frozen control keeps: all of them in order, NoPing once, and
// past the limit a mailbox's later mail folded into its kept announcement.
#include "activex/held_events.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace vostrel::activex {
namespace {

using Kind = HeldEvents::Event::Kind;

std::vector<HeldEvents::Event> TakeAll(HeldEvents& held) {
    std::vector<HeldEvents::Event> out;
    while (auto e = held.Take()) out.push_back(*e);
    return out;
}

TEST(HeldEvents, EveryMailInOrderAndRepeatedNoPingsOnce) {
    HeldEvents held;
    held.NewMail(3);
    held.NoPing();
    held.NewMail(3);
    held.NoPing();
    held.NewMail(1);
    const std::vector<HeldEvents::Event> expected{
        {Kind::NewMail, 3}, {Kind::NoPing}, {Kind::NewMail, 3}, {Kind::NewMail, 1}};
    EXPECT_EQ(TakeAll(held), expected);
    // Once the kept NoPing went out, the next silence is news again.
    held.NoPing();
    EXPECT_EQ(TakeAll(held), std::vector<HeldEvents::Event>{{Kind::NoPing}});
}

TEST(HeldEvents, PastTheLimitAMailboxAlreadyAnnouncedIsNotAnnouncedAgain) {
    HeldEvents held;
    for (std::size_t i = 0; i < HeldEvents::kLimit; ++i) held.NewMail(Integer(i % 2));
    held.NewMail(0);  // folded: mailbox 0 is announced already
    held.NewMail(7);  // kept: the only news of mailbox 7
    held.NewMail(7);
    ASSERT_EQ(held.size(), HeldEvents::kLimit + 1);
    for (std::size_t i = 0; i < HeldEvents::kLimit; ++i) held.Take();
    EXPECT_EQ(held.Take(), (HeldEvents::Event{Kind::NewMail, 7}));
    EXPECT_TRUE(held.empty());
}

}  // namespace
}  // namespace vostrel::activex
