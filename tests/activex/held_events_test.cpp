// The events a frozen control keeps: every mail in order, NoPing once, and
// past the limit a mailbox's later mail folded into its kept announcement.
#include "activex/held_events.hpp"

#include <gtest/gtest.h>

namespace vostrel::activex {
namespace {

TEST(HeldEvents, EveryMailInOrderNoPingOnceAndPastTheLimitNoRepeatedMailbox) {
    using E = HeldEvents::Event;
    HeldEvents held;
    held.NewMail(3);
    held.NoPing();
    held.NoPing();
    held.NewMail(3);
    for (E e : {E{E::Kind::NewMail, 3}, E{E::Kind::NoPing}, E{E::Kind::NewMail, 3}})
        EXPECT_EQ(held.Take(), e);
    EXPECT_FALSE(held.Take());

    for (std::size_t i = 0; i < HeldEvents::kLimit; ++i) held.NewMail(Integer(i % 2));
    held.NewMail(0);  // folded: mailbox 0 is announced already
    held.NewMail(7);  // kept: the only news of mailbox 7
    held.NoPing();    // kept: the first since the last went out
    EXPECT_EQ(held.size(), HeldEvents::kLimit + 2);
}

}  // namespace
}  // namespace vostrel::activex
