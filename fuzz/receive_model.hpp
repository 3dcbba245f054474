// What the control must do with a received byte stream, worked out one byte
// at a time from the framing rules, independently of the control's own
// splitter: the fuzz target compares the two action by action.
//
// Rules: a packet is taken by its two-byte length header (low byte first)
// however the reads split or join it. A header announcing fewer than 3 or
// more than 64 telegram bytes is no brick's: its first byte is skipped and
// the next byte is tried as the start of a header. A watchdog interval of
// silence drops a packet begun and not finished. Each packet on its own: 7
// bytes or fewer, or telegram byte 1 not 0x09, is dropped; telegram byte 4
// '?' is a keep-alive query, echoed with every '?' turned into '!';
// otherwise inbox byte 2 above 9 is dropped, and the text from telegram byte
// 4 on is filed and announced.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vostrel::fuzz {

struct Action {
    enum Kind { Filed, Written, Failed } kind;
    int mailbox = -1;   // Filed
    std::string bytes;  // Filed: the text; Written: the packet
    friend bool operator==(const Action&, const Action&) = default;
};

class ReceiveModel {
public:
    static constexpr std::size_t kMinTelegram = 3;
    static constexpr std::size_t kMaxTelegram = 64;

    /// The next NewMail handler call throws (counted across reads).
    void ArmHandlerFailure() { ++handlerFailures_; }
    /// The next echo that reaches the port fails there.
    void ArmOutputFailure() { ++outputFailures_; }
    /// A whole watchdog interval passes with nothing received.
    void Silence() { collected_.clear(); }

    /// The actions one read must cause, in order.
    std::vector<Action> Feed(const std::string& read) {
        std::vector<Action> actions;
        taken_.clear();
        for (char byte : read) {
            collected_.push_back(byte);
            ++offset_;
            if (collected_.size() < 2) continue;
            const std::size_t n =
                static_cast<unsigned char>(collected_[0]) |
                (static_cast<std::size_t>(static_cast<unsigned char>(collected_[1])) << 8);
            if (n < kMinTelegram || n > kMaxTelegram) {
                collected_.erase(0, 1);  // not a header: try from the next byte
                continue;
            }
            if (collected_.size() == n + 2) {
                taken_.push_back(offset_ - collected_.size());
                Packet(collected_, actions);
                collected_.clear();
            }
        }
        return actions;
    }

    /// Where in the whole stream (byte offsets from 0) each packet taken by
    /// the last Feed began.
    const std::vector<std::size_t>& TakenStarts() const { return taken_; }
    std::size_t Collected() const { return collected_.size(); }
    std::size_t HandlerFailuresLeft() const { return handlerFailures_; }
    std::size_t OutputFailuresLeft() const { return outputFailures_; }

private:
    void Packet(const std::string& packet, std::vector<Action>& actions) {
        if (packet.size() <= 7) return;
        const std::string telegram = packet.substr(2);
        if (telegram[1] != '\x09') return;
        if (telegram[4] == '?') {
            std::string echo{static_cast<char>(telegram.size()), '\0'};
            for (char c : telegram) echo.push_back(c == '?' ? '!' : c);
            if (outputFailures_ > 0) {
                --outputFailures_;
                actions.push_back({Action::Failed, -1, {}});
            } else {
                actions.push_back({Action::Written, -1, echo});
            }
            return;
        }
        const int inbox = static_cast<unsigned char>(telegram[2]);
        if (inbox > 9) return;
        actions.push_back({Action::Filed, inbox, telegram.substr(4)});
        if (handlerFailures_ > 0) {
            --handlerFailures_;
            actions.push_back({Action::Failed, -1, {}});
        }
    }

    std::string collected_;
    std::size_t offset_ = 0;  // bytes fed so far
    std::vector<std::size_t> taken_;
    std::size_t handlerFailures_ = 0;
    std::size_t outputFailures_ = 0;
};

}  // namespace vostrel::fuzz
