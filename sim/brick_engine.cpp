// The brick's direct-command rules.
#include "sim/brick_engine.hpp"

#include "sim/wire.hpp"

namespace vostrel::sim {

namespace {
std::string ReplyPacket(std::uint8_t command, std::uint8_t st, std::string_view data = {}) {
    std::string t{static_cast<char>(kReply), static_cast<char>(command), static_cast<char>(st)};
    t.append(data);
    return Frame(t);
}
}  // namespace

Outcome BrickEngine::Handle(std::string_view t) {
    Outcome o;
    if (t.size() < 2) return o;
    const auto type = static_cast<std::uint8_t>(t[0]);
    if (type != kReplyWanted && type != kNoReply) return o;
    o.replyWanted = type == kReplyWanted;
    o.command = static_cast<std::uint8_t>(t[1]);
    switch (o.command) {
        case kMessageWrite:
            o = MessageWrite(t, std::move(o));
            break;
        case kPlayTone:
            o.kind = Outcome::Kind::PlayTone;
            // The brick checks neither the range nor the length: missing
            // bytes read as zero.
            for (std::size_t i = 2; i < 6 && i < t.size(); ++i) {
                const auto b = static_cast<std::uint16_t>(static_cast<unsigned char>(t[i]));
                if (i < 4) o.tone.frequency = static_cast<std::uint16_t>(o.tone.frequency | (b << (8 * (i - 2))));
                else o.tone.durationMs = static_cast<std::uint16_t>(o.tone.durationMs | (b << (8 * (i - 4))));
            }
            break;
        case kKeepAlive:
            o.kind = Outcome::Kind::KeepAlive;
            break;
        default:
            o.kind = Outcome::Kind::Unknown;
            o.status = status::kUnknownCommand;
            break;
    }
    if (o.replyWanted) {
        std::string data;
        if (o.kind == Outcome::Kind::KeepAlive) {
            for (int i = 0; i < 4; ++i) data.push_back(static_cast<char>((sleepMs_ >> (8 * i)) & 0xFF));
        }
        o.reply = ReplyPacket(o.command, o.status, data);
    }
    return o;
}

Outcome BrickEngine::MessageWrite(std::string_view t, Outcome o) {
    o.kind = Outcome::Kind::MessageWrite;
    if (t.size() >= 3) o.inbox = static_cast<unsigned char>(t[2]);
    // First failing check wins: the size, then the inbox, then the program.
    const std::size_t size = t.size() >= 4 ? static_cast<unsigned char>(t[3]) : 0;
    if (size == 0 || size > kMaxMessageSize || t.size() < 4 + size || t[3 + size] != '\0') {
        o.status = status::kBadSize;
        return o;
    }
    o.message.assign(t.substr(4, size));
    if (o.inbox >= kInboxes) {
        o.status = status::kBadInbox;
        return o;
    }
    if (!running_) {
        o.status = status::kNoProgram;
        return o;
    }
    auto& q = queues_[static_cast<std::size_t>(o.inbox)];
    if (q.size() == kQueueDepth) {
        q.pop_front();
        o.droppedOldest = true;
    }
    q.push_back(o.message);
    o.status = status::kOk;
    return o;
}

void BrickEngine::StartProgram() {
    for (auto& q : queues_) q.clear();
    running_ = true;
}

std::optional<std::string> BrickEngine::Take(int inbox) {
    auto& q = queues_.at(static_cast<std::size_t>(inbox));
    if (q.empty()) return std::nullopt;
    std::string m = std::move(q.front());
    q.pop_front();
    return m;
}

}  // namespace vostrel::sim
