// The control's events while its container has frozen them
// (IOleControl::FreezeEvents), kept in the order the control raised them,
// to be delivered once the container thaws them.
//
// Nothing is lost: every NewMail is kept, in order, up to kLimit of them.
// Past that a NewMail for a mailbox that a kept one already announces is
// left out: the mailbox holds one text, the latest, and the kept
// announcement leads the host to it. NoPing, which repeats every watchdog
// interval while the brick is silent, is kept once.
//
// Portable, no system header.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <optional>

#include "vostrel/types.hpp"

namespace vostrel::activex {

class HeldEvents {
public:
    /// How many events are kept before NewMail for the same mailbox
    /// collapses (4096 events, 8 KiB or so).
    static constexpr std::size_t kLimit = 4096;

    struct Event {
        enum class Kind { NoPing, NewMail } kind;
        Integer mailBox = 0;  // NewMail's
        friend bool operator==(const Event&, const Event&) = default;
    };

    void NoPing();
    void NewMail(Integer mailBox);
    /// The oldest event kept, taken out; nullopt when none is left.
    std::optional<Event> Take();
    bool empty() const { return events_.empty(); }
    std::size_t size() const { return events_.size(); }

private:
    std::deque<Event> events_;
    std::map<Integer, std::size_t> mailsKept_;  // mailbox -> its NewMails in events_
    bool noPingKept_ = false;
};

}  // namespace vostrel::activex
