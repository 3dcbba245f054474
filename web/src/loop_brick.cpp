// The simulated brick's runner on an event loop.
#include "web/src/loop_brick.hpp"

#include <algorithm>

namespace vostrel::web {

using sim::Outcome;

namespace {
constexpr std::size_t kStoredHistory = 4096;  // per inbox
}

LoopBrick::LoopBrick(platform::EventLoop& loop, LoopBrickOptions options,
                     std::function<void(const std::string&)> write)
    : loop_(loop),
      options_(std::move(options)),
      write_(std::move(write)),
      program_(options_.program, engine_),
      stored_(sim::BrickEngine::kInboxes) {
    if (!options_.programRunning) engine_.StopProgram();
    program_.Start(loop_.Now());
    Arm();
}

LoopBrick::~LoopBrick() {
    loop_.CancelTimer(flushTimer_);
    loop_.CancelTimer(programTimer_);
}

bool LoopBrick::Silent() const { return loop_.Now() < silentUntil_; }

void LoopBrick::Receive(const std::string& bytes) {
    if (hungUp_) return;
    bytesIn_ += bytes.size();
    for (const std::string& telegram : reader_.Feed(bytes)) {
        Outcome o = engine_.Handle(telegram);
        if (o.kind == Outcome::Kind::Ignored) continue;
        if (o.kind == Outcome::Kind::MessageWrite && o.status == sim::status::kOk && o.inbox >= 0 &&
            o.inbox < sim::BrickEngine::kInboxes) {
            auto& list = stored_[static_cast<std::size_t>(o.inbox)];
            list.push_back(o.message);
            if (list.size() > kStoredHistory) list.erase(list.begin());
        }
        if (o.kind == Outcome::Kind::KeepAlive) ++keepAlives_;
        if (!o.reply.empty()) Queue(o.reply, 1, {});
        const bool quiet = Silent();
        if (o.kind == Outcome::Kind::PlayTone) {
            tones_.push_back(o.tone);
            if (tones_.size() > kStoredHistory) tones_.erase(tones_.begin());
            if (!quiet) QueueProgram(program_.OnTone(o.tone));
        }
        // The program reads its inboxes after every telegram, as a brick
        // program polling them would.
        QueueProgram(program_.Run(loop_.Now(), quiet));
    }
    Arm();
}

void LoopBrick::SendText(int inbox, const std::string& text, int pieces, sim::milliseconds gap) {
    Queue(sim::Frame(sim::MessageTelegram(inbox, text)), pieces, gap);
    Arm();
}

void LoopBrick::SendNumber(int inbox, std::int32_t value) {
    SendText(inbox, sim::NumberPayload(value));
}

void LoopBrick::SendJoined(const std::vector<std::pair<int, std::string> >& messages) {
    std::string bytes;
    for (const auto& [inbox, text] : messages)
        bytes += sim::Frame(sim::MessageTelegram(inbox, text));
    Queue(bytes, 1, {});
    Arm();
}

void LoopBrick::SendGarbage(const std::string& bytes) {
    Queue(bytes, 1, {});
    Arm();
}

void LoopBrick::GoSilent(sim::milliseconds d) { silentUntil_ = loop_.Now() + d; }

void LoopBrick::HangUp() {
    hungUp_ = true;
    out_.clear();
    loop_.CancelTimer(flushTimer_);
    loop_.CancelTimer(programTimer_);
    flushTimer_ = programTimer_ = 0;
}

void LoopBrick::StartProgram() {
    engine_.StartProgram();
    program_.Start(loop_.Now());
    Arm();
}

std::vector<std::string> LoopBrick::Stored(int inbox) const {
    return stored_.at(static_cast<std::size_t>(inbox));
}

void LoopBrick::Queue(const std::string& packet, int pieces, sim::milliseconds gap) {
    if (hungUp_) return;
    const sim::TimePoint now = loop_.Now();
    sim::TimePoint due = out_.empty() ? now : std::max(now, out_.back().due);
    const std::size_t n = std::clamp<std::size_t>(static_cast<std::size_t>(std::max(pieces, 1)), 1,
                                                  std::max<std::size_t>(packet.size(), 1));
    const std::size_t base = packet.size() / n;
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t len = i + 1 == n ? packet.size() - at : base;
        out_.push_back({due, packet.substr(at, len)});
        at += len;
        due += gap;
    }
}

void LoopBrick::QueueProgram(std::vector<sim::ProgramSend> sends) {
    for (auto& s : sends) {
        Queue(sim::Frame(s.telegram), options_.pieces, options_.gap);
    }
}

void LoopBrick::Flush() {
    const sim::TimePoint now = loop_.Now();
    const bool silent = Silent();
    while (!out_.empty() && out_.front().due <= now && !hungUp_) {
        std::string bytes = std::move(out_.front().bytes);
        out_.pop_front();
        if (silent) continue;
        bytesOut_ += bytes.size();
        write_(bytes);
    }
}

void LoopBrick::RunProgram() { QueueProgram(program_.Run(loop_.Now(), Silent())); }

void LoopBrick::Arm() {
    if (hungUp_) return;
    // Writes go from the loop, never from inside the call that queued them,
    // as a brick's radio answers after the host's write returned.
    if (!out_.empty() && flushTimer_ == 0) {
        flushTimer_ = loop_.StartTimer(out_.front().due, {}, [this] {
            flushTimer_ = 0;
            Flush();
            Arm();
        });
    }
    const sim::TimePoint next = program_.NextDue();
    if (programTimer_ == 0 && next != sim::TimePoint::max()) {
        programTimer_ = loop_.StartTimer(next, {}, [this] {
            programTimer_ = 0;
            RunProgram();
            Arm();
        });
    }
}

}  // namespace vostrel::web
