// Mails that arrived while the broker could not be reached, kept in the
// order they came until it can, up to a bound: beyond it the oldest go,
// counted per brick so the count can be published.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace vostrel::tool::bridge {

struct QueuedMail {
    std::size_t brick = 0;  // index of the brick it came from
    int mailbox = 0;
    std::string text;
};

class MailQueue {
public:
    /// At most `capacity` mails (1 or more) are held.
    explicit MailQueue(std::size_t capacity) : capacity_(capacity < 1 ? 1 : capacity) {}

    /// Appends; when full, drops the oldest first and counts it against its
    /// brick.
    void Push(QueuedMail mail);
    /// Everything held, oldest first; the queue is empty afterwards.
    std::deque<QueuedMail> TakeAll();
    /// The mails dropped per brick since the last call; cleared.
    std::map<std::size_t, std::uint64_t> TakeDropped();

    std::size_t Size() const { return mails_.size(); }
    std::size_t Capacity() const { return capacity_; }

private:
    std::size_t capacity_;
    std::deque<QueuedMail> mails_;
    std::map<std::size_t, std::uint64_t> dropped_;
};

}  // namespace vostrel::tool::bridge
