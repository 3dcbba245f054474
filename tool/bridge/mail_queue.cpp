// The bounded queue of mails waiting for the broker.
#include "tool/bridge/mail_queue.hpp"

namespace vostrel::tool::bridge {

void MailQueue::Push(QueuedMail mail) {
    if (mails_.size() >= capacity_) {
        ++dropped_[mails_.front().brick];
        mails_.pop_front();
    }
    mails_.push_back(std::move(mail));
}

std::deque<QueuedMail> MailQueue::TakeAll() {
    std::deque<QueuedMail> out;
    out.swap(mails_);
    return out;
}

std::map<std::size_t, std::uint64_t> MailQueue::TakeDropped() {
    std::map<std::size_t, std::uint64_t> out;
    out.swap(dropped_);
    return out;
}

}  // namespace vostrel::tool::bridge
