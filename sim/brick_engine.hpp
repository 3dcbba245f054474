// The command rules of a brick running a user program: what it does with
// each telegram it receives, and its message queues. Pure: no port, no
// clock; a runner feeds it telegrams and writes the replies it returns.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vostrel::sim {

/// Reply status bytes.
namespace status {
inline constexpr std::uint8_t kOk = 0x00;
inline constexpr std::uint8_t kUnknownCommand = 0xBE;
inline constexpr std::uint8_t kBadSize = 0xC0;
inline constexpr std::uint8_t kNoProgram = 0xEC;
inline constexpr std::uint8_t kBadInbox = 0xEE;
}  // namespace status

struct Tone {
    std::uint16_t frequency = 0;   // Hz
    std::uint16_t durationMs = 0;  // ms
    friend bool operator==(const Tone&, const Tone&) = default;
};

/// What one received telegram did.
struct Outcome {
    enum class Kind { Ignored, MessageWrite, PlayTone, KeepAlive, Unknown };
    Kind kind = Kind::Ignored;
    std::uint8_t command = 0;
    bool replyWanted = false;
    std::uint8_t status = status::kOk;
    int inbox = -1;              // MessageWrite: the inbox byte
    std::string message;         // MessageWrite: the message bytes, closing NUL included
    bool droppedOldest = false;  // MessageWrite: the queue was full
    Tone tone;                   // PlayTone
    std::string reply;           // the framed reply packet; empty when none is due
};

class BrickEngine {
public:
    static constexpr int kInboxes = 20;         // 0-9 the program's, 10-19 its outboxes
    static constexpr int kProgramInboxes = 10;
    static constexpr std::size_t kQueueDepth = 5;
    static constexpr std::uint32_t kDefaultSleepMs = 600000;

    /// Handles one telegram (header removed). Telegrams of a type other
    /// than a direct command (00 or 80), and empty ones, are ignored.
    Outcome Handle(std::string_view telegram);

    /// Starts a program: empties every queue; MESSAGEWRITE is then stored.
    void StartProgram();
    /// Stops the program: MESSAGEWRITE is then refused with EC.
    void StopProgram() { running_ = false; }
    bool ProgramRunning() const { return running_; }

    /// Takes the oldest message of `inbox` (0 to 19), closing NUL included.
    std::optional<std::string> Take(int inbox);
    /// The messages waiting in `inbox`, oldest first.
    const std::deque<std::string>& Queue(int inbox) const { return queues_.at(static_cast<std::size_t>(inbox)); }

    /// The sleep time a KEEPALIVE reply reports, in ms.
    void SleepTimeMs(std::uint32_t ms) { sleepMs_ = ms; }
    std::uint32_t SleepTimeMs() const { return sleepMs_; }

private:
    Outcome MessageWrite(std::string_view t, Outcome o);

    bool running_ = true;
    std::uint32_t sleepMs_ = kDefaultSleepMs;
    std::array<std::deque<std::string>, kInboxes> queues_;
};

}  // namespace vostrel::sim
