// Standard output written by a thread of its own, so that a reader that
// stops reading (a full pipe) never holds up the loop, the control's
// keep-alive answers or the simulated brick, and an interrupt still ends
// the program.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace vostrel::tool {

class OutputWriter {
public:
    /// Bytes that may wait for the reader; lines beyond are dropped.
    static constexpr std::size_t kMaxQueued = 1024 * 1024;

    /// Writes to `fd` (kept open by the caller for the writer's life).
    /// `droppedNotice(n)` makes the line that tells the reader that n lines
    /// were dropped while it did not read.
    OutputWriter(int fd, std::function<std::string(std::uint64_t)> droppedNotice);
    /// Drops what was not flushed and stops the thread; one still blocked
    /// in a write is left behind detached (the process's exit ends it), so
    /// this never waits for the reader.
    ~OutputWriter();
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    /// Queues `text` and a line break. Never blocks: when kMaxQueued bytes
    /// wait, the line is dropped and counted, and the next line queued once
    /// there is room again is preceded by the dropped-lines notice.
    /// Thread-safe.
    void Line(const std::string& text);

    /// Readable once writing has failed (the reader went away, the device
    /// is full, ...); a loop can watch it. Stays readable.
    int FailedFd() const;
    /// Why writing failed, as the system says it ("Broken pipe"); "" while
    /// it has not.
    std::string Failure() const;

    /// Waits until everything queued is written (true) or writing failed
    /// (false). Once `interruptFd` is readable (already, or while waiting;
    /// -1: never), waits at most `afterInterrupt` more, then gives up
    /// (false).
    bool Flush(int interruptFd, std::chrono::milliseconds afterInterrupt);

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

/// A command's last step: flushes `writer` (at most 300 ms more once
/// `interruptFd` is readable) and gives the exit status, 0 when everything
/// was written; otherwise says on stderr why the last lines are lost and
/// gives 1.
int FinishOutput(OutputWriter& writer, int interruptFd);

/// Writes "vostrel: <text>" and a line break to standard error, unless it
/// stays blocked for 200 ms (it may be the same full pipe as the output).
void ComplainOnStderr(const std::string& text);

}  // namespace vostrel::tool
