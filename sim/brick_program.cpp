// The simulated brick's user program.
#include "sim/brick_program.hpp"

#include <algorithm>

#include "sim/wire.hpp"

namespace vostrel::sim {

std::string Readable(std::string_view message) {
    const std::string_view text = message.substr(0, message.find('\0'));
    const bool printable = std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
    });
    // A number is 4 bytes and its NUL.
    if ((!printable || text.size() < 4) && message.size() == 5 && message[4] == '\0') {
        std::uint32_t u = 0;
        for (int i = 0; i < 4; ++i) u |= static_cast<std::uint32_t>(static_cast<unsigned char>(message[i])) << (8 * i);
        return std::to_string(static_cast<std::int32_t>(u));
    }
    if (printable) return std::string(text);
    return "0x" + Hex(message);
}

BrickProgram::BrickProgram(ProgramOptions options, BrickEngine& engine)
    : options_(std::move(options)), engine_(engine) {
    expectedAnswer_ = options_.pingText;
    std::replace(expectedAnswer_.begin(), expectedAnswer_.end(), '?', '!');
    expectedAnswer_.push_back('\0');
}

void BrickProgram::Start(TimePoint now) {
    nextPing_ = options_.pingEvery.count() > 0 ? now + options_.pingEvery : TimePoint::max();
    slots_.clear();
    for (const auto& s : options_.schedule) {
        slots_.push_back({s.every.count() > 0 ? now + s.every : TimePoint::max(), s.count > 0 ? s.count : -1});
    }
}

ProgramSend BrickProgram::Make(ProgramSend::Why why, int inbox, std::string payload) const {
    if (payload.size() > kMaxText) payload.resize(kMaxText);
    std::string t = MessageTelegram(inbox, payload);
    return {why, inbox, std::move(payload), std::move(t)};
}

std::vector<ProgramSend> BrickProgram::Run(TimePoint now, bool quiet) {
    std::vector<ProgramSend> out;
    // The ping inbox first: an answer is counted, not echoed.
    std::set<int> read = options_.echoInboxes;
    if (options_.pingEvery.count() > 0) read.insert(options_.pingInbox);
    for (int inbox : read) {
        if (inbox < 0 || inbox >= BrickEngine::kInboxes) continue;
        while (auto m = engine_.Take(inbox)) {
            if (options_.pingEvery.count() > 0 && inbox == options_.pingInbox) {
                if (*m == expectedAnswer_) {
                    ++pingAnswers_;
                    continue;
                }
                ++wrongAnswers_;
            }
            if (options_.echoInboxes.count(inbox) && !quiet) {
                const int to = options_.replyInbox >= 0 ? options_.replyInbox : inbox;
                out.push_back(Make(ProgramSend::Why::Echo, to, "got " + Readable(*m)));
            }
        }
    }
    if (now >= nextPing_) {
        if (!quiet) {
            out.push_back(Make(ProgramSend::Why::Ping, options_.pingInbox, options_.pingText));
            ++pingsSent_;
        }
        // Fixed deadlines; periods missed while busy are skipped.
        while (nextPing_ <= now) nextPing_ += options_.pingEvery;
    }
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        Slot& slot = slots_[i];
        const ScheduledMessage& s = options_.schedule[i];
        if (slot.left == 0 || now < slot.next) continue;
        if (!quiet) {
            out.push_back(Make(ProgramSend::Why::Scheduled, s.inbox, s.payload));
            if (slot.left > 0) --slot.left;
        }
        while (slot.next <= now) slot.next += s.every;
        if (slot.left == 0) slot.next = TimePoint::max();
    }
    return out;
}

std::vector<ProgramSend> BrickProgram::OnTone(const Tone& tone) {
    if (options_.toneReportInbox < 0) return {};
    return {Make(ProgramSend::Why::ToneReport, options_.toneReportInbox,
                 "tone " + std::to_string(tone.frequency) + " Hz " + std::to_string(tone.durationMs) + " ms")};
}

TimePoint BrickProgram::NextDue() const {
    TimePoint due = nextPing_;
    for (const auto& s : slots_)
        if (s.left != 0) due = std::min(due, s.next);
    return due;
}

}  // namespace vostrel::sim
