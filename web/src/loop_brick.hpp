// The simulated brick on an event loop, for a web page: the brick's engine
// and program from sim/, its timers on the loop, its line a pair of byte
// callbacks (the JavaScript stand-in of a serial port carries them).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sim/brick_engine.hpp"
#include "sim/brick_program.hpp"
#include "sim/wire.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::web {

struct LoopBrickOptions {
    bool programRunning = true;
    sim::ProgramOptions program;
    /// Every program message written in `pieces` writes, `gap` apart.
    int pieces = 1;
    sim::milliseconds gap{0};
};

class LoopBrick {
public:
    /// `write` takes the bytes the brick writes to the line, one write a call.
    LoopBrick(platform::EventLoop& loop, LoopBrickOptions options,
              std::function<void(const std::string&)> write);
    ~LoopBrick();
    LoopBrick(const LoopBrick&) = delete;
    LoopBrick& operator=(const LoopBrick&) = delete;

    /// Bytes the host wrote: handled at once (replies and program messages
    /// are written from the loop).
    void Receive(const std::string& bytes);
    /// Sends a text (0 to 58 bytes; longer throws std::invalid_argument) to
    /// the host's mailbox `inbox`, in `pieces` writes `gap` apart.
    void SendText(int inbox, const std::string& text, int pieces = 1,
                  sim::milliseconds gap = sim::milliseconds{0});
    void SendNumber(int inbox, std::int32_t value);
    /// The given (inbox, text) messages, framed, in one write.
    void SendJoined(const std::vector<std::pair<int, std::string> >& messages);
    void SendGarbage(const std::string& bytes);
    /// Writes nothing for `d` (replies and program messages are dropped).
    void GoSilent(sim::milliseconds d);
    /// The line is gone: nothing more is read or written.
    void HangUp();
    void StopProgram() { engine_.StopProgram(); }
    void StartProgram();

    const std::vector<sim::Tone>& Tones() const { return tones_; }
    /// The messages stored for `inbox` (0 to 19), oldest first, closing NUL
    /// included (every one the host wrote, also those the program took).
    std::vector<std::string> Stored(int inbox) const;
    const sim::BrickProgram& Program() const { return program_; }
    int KeepAlives() const { return keepAlives_; }
    std::uint64_t BytesIn() const { return bytesIn_; }
    std::uint64_t BytesOut() const { return bytesOut_; }
    bool Silent() const;
    bool HungUp() const { return hungUp_; }

private:
    struct Chunk {
        sim::TimePoint due;
        std::string bytes;
    };
    void Queue(const std::string& packet, int pieces, sim::milliseconds gap);
    void QueueProgram(std::vector<sim::ProgramSend> sends);
    void Flush();
    void Arm();
    void RunProgram();

    platform::EventLoop& loop_;
    LoopBrickOptions options_;
    std::function<void(const std::string&)> write_;
    sim::BrickEngine engine_;
    sim::BrickProgram program_;
    sim::PacketReader reader_;
    std::deque<Chunk> out_;
    sim::TimePoint silentUntil_{};
    bool hungUp_ = false;
    std::vector<sim::Tone> tones_;
    std::vector<std::vector<std::string> > stored_;
    int keepAlives_ = 0;
    std::uint64_t bytesIn_ = 0;
    std::uint64_t bytesOut_ = 0;
    platform::EventLoop::Id flushTimer_ = 0;
    platform::EventLoop::Id programTimer_ = 0;
};

}  // namespace vostrel::web
