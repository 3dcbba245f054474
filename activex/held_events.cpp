#include "activex/held_events.hpp"

namespace vostrel::activex {

void HeldEvents::NoPing() {
    if (noPingKept_) return;
    events_.push_back({Event::Kind::NoPing});
    noPingKept_ = true;
}

void HeldEvents::NewMail(Integer mailBox) {
    std::size_t& kept = mailsKept_[mailBox];
    if (kept > 0 && events_.size() >= kLimit) return;
    events_.push_back({Event::Kind::NewMail, mailBox});
    ++kept;
}

std::optional<HeldEvents::Event> HeldEvents::Take() {
    if (events_.empty()) return std::nullopt;
    const Event e = events_.front();
    events_.pop_front();
    if (e.kind == Event::Kind::NoPing)
        noPingKept_ = false;
    else if (--mailsKept_[e.mailBox] == 0)
        mailsKept_.erase(e.mailBox);
    return e;
}

}  // namespace vostrel::activex
