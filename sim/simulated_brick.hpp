// A simulated NXT brick on the far side of a pseudo-terminal (or of a
// device path it is given), running its own thread. A host opens
// DevicePath() as its serial port and talks to it as to a brick.
//
// Threading: the brick's thread owns the line, the engine and the program.
// Every public member may be called from any thread; the observer is called
// on the brick's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/brick_engine.hpp"
#include "sim/brick_program.hpp"
#include "sim/wire.hpp"

struct termios;

namespace vostrel::sim {

/// How one packet is written: in `pieces` writes (1 to its length), `gap`
/// apart.
struct Delivery {
    int pieces = 1;
    milliseconds gap{0};
};

struct BrickOptions {
    /// "" opens a new pseudo-terminal; otherwise this device is opened.
    std::string device;
    /// A connected descriptor to serve instead (a socket a host connected
    /// to), owned by the brick from then on; `device` then only names it.
    /// -1: none.
    int line = -1;
    /// Whether a program runs (without one MESSAGEWRITE answers EC).
    bool programRunning = true;
    ProgramOptions program;
    /// A silence: from `silentAfter` after the start, for `silentFor` (0: none).
    milliseconds silentAfter{0};
    milliseconds silentFor{0};
    /// Faults applied to every message the program sends.
    Delivery programDelivery;
    bool joinProgramPairs = false;  // two program messages in one write
};

/// Something the brick did, for narration.
struct BrickEvent {
    enum class Kind {
        Received,       // a MESSAGEWRITE; status tells whether it was stored
        Tone,           // a PLAYTONE
        KeepAlive,      // a KEEPALIVE
        Unknown,        // any other command
        Sent,           // the program sent a message (why: sendWhy)
        PingAnswered,   // a correct answer to a keep-alive query
        SilenceBegins,
        SilenceEnds,
        HungUp,
        LineFailed,     // reading or writing the line failed
    };
    BrickEvent() = default;
    BrickEvent(Kind k) : kind(k) {}  // NOLINT: implicit, so Notify({Kind::X}) reads well
    Kind kind = Kind::Received;
    int inbox = -1;
    std::string bytes;  // the message, closing NUL included / text sent
    std::uint8_t command = 0;
    std::uint8_t status = 0;
    Tone tone;
    ProgramSend::Why sendWhy = ProgramSend::Why::Scheduled;
    /// When it happened on the brick's thread (the observer is called later):
    /// a Sent before its first byte is written, a PingAnswered right after
    /// the answer was read.
    TimePoint at{};
};

/// What the brick has done so far (history keeps the last kHistory items).
struct BrickStatus {
    static constexpr std::size_t kHistory = 4096;
    std::vector<Outcome> received;  // every direct command handled, in order
    std::vector<Tone> tones;
    int pingsSent = 0;
    int pingAnswers = 0;
    int wrongAnswers = 0;
    int keepAlives = 0;
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    std::uint64_t bytesDropped = 0;  // not written: silent, hung up, or no reader
    bool silent = false;
    bool hungUp = false;

    /// The messages stored (status 00) for `inbox`, oldest first.
    std::vector<std::string> StoredFor(int inbox) const;
};

class SimulatedBrick {
public:
    /// Opens the line and starts the brick's thread and its program.
    /// Throws std::system_error when no pseudo-terminal can be had or the
    /// device cannot be opened.
    explicit SimulatedBrick(BrickOptions options = {});
    /// Stops the thread and closes the line (a given device gets its line
    /// settings back).
    ~SimulatedBrick();
    SimulatedBrick(const SimulatedBrick&) = delete;
    SimulatedBrick& operator=(const SimulatedBrick&) = delete;

    /// The path a host opens (the pseudo-terminal's slave, or the device).
    const std::string& DevicePath() const { return path_; }

    /// Called on the brick's thread for every event (nullptr: none).
    void SetObserver(std::function<void(const BrickEvent&)> observer);

    // --- the program's side, on demand ------------------------------------------
    /// Sends a text (up to 58 bytes; longer throws std::invalid_argument).
    void SendText(int inbox, std::string_view text, Delivery how = {});
    /// Sends a number: 4 bytes, low first.
    void SendNumber(int inbox, std::int32_t value, Delivery how = {});
    /// Writes the given telegrams, each framed, all in one write.
    void SendJoined(const std::vector<std::string>& telegrams);
    /// Writes `bytes` as they are, unframed.
    void SendGarbage(std::string bytes);
    /// Sends nothing at all for `d` (replies and program messages are dropped).
    void GoSilent(milliseconds d);
    /// Stops (true) or resumes (false) reading the line, the program still
    /// sending: a brick whose radio link stalls one way. What the host
    /// writes meanwhile piles up in the line.
    void StopReading(bool stop);
    /// Closes the line for good: the host sees a hang-up. Returns once it is
    /// closed.
    void HangUp();
    void StopProgram();
    /// Starts the program afresh: queues emptied, its clock restarted.
    void StartProgram();

    // --- what happened ------------------------------------------------------------
    BrickStatus Status() const;
    /// Waits until `pred` holds for the status (checked after every change),
    /// or `timeout` passes; returns whether it held.
    bool WaitUntil(const std::function<bool(const BrickStatus&)>& pred, milliseconds timeout) const;
    /// The messages waiting in `inbox` (0 to 19), oldest first.
    std::vector<std::string> Inbox(int inbox) const;

private:
    struct Chunk {
        TimePoint due;
        std::string bytes;
    };
    void Run();
    void OnReadable(TimePoint now, short revents);
    void Queue(const std::string& packet, const Delivery& how, TimePoint now);
    void QueueProgram(std::vector<ProgramSend> sends, TimePoint now);
    void Flush(TimePoint now);
    void UpdateSilence(TimePoint now);
    void CloseLine();
    void CloseDevice();
    void Notify(const BrickEvent& e);
    void Wake();

    BrickOptions options_;
    std::string path_;
    int fd_ = -1;       // the line: the pty's master, or the device
    int heldSlave_ = -1;  // keeps the pty's line and settings alive between host opens
    std::unique_ptr<termios> deviceSettings_;  // a given device's, put back at its close
    int wakeRead_ = -1;
    int wakeWrite_ = -1;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stop_ = false;
    bool hangUpRequested_ = false;
    bool deaf_ = false;  // not reading the line
    BrickEngine engine_;
    BrickProgram program_;
    PacketReader reader_;
    std::deque<Chunk> out_;
    std::string held_;  // a program message waiting for its partner (join)
    TimePoint heldSince_{};
    TimePoint silentFrom_ = TimePoint::max();
    TimePoint silentUntil_ = TimePoint::min();
    BrickStatus status_;
    std::function<void(const BrickEvent&)> observer_;
    std::vector<BrickEvent> pendingEvents_;
    std::thread thread_;
};

}  // namespace vostrel::sim
