// Lines written to a stream by a thread of their own, with the C++ standard
// library alone (the Windows tool's standard output and error): a reader
// that stops reading never holds up the loop, the control's keep-alive
// answers or an interrupt.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace vostrel::tool {

class QueuedWriter {
public:
    /// Bytes that may wait for the reader; lines beyond are dropped.
    static constexpr std::size_t kMaxQueued = 1024 * 1024;

    /// Writes to `stream` (which outlives the writer). `droppedNotice(n)`
    /// makes the line telling that n lines were dropped; `onFailure(why)`
    /// is called once, from the writer's thread, when a write fails.
    QueuedWriter(std::FILE* stream, std::function<std::string(std::uint64_t)> droppedNotice,
                 std::function<void(const std::string&)> onFailure);
    /// Stops the thread; one still blocked in a write is left behind
    /// detached (the process's exit ends it), so this never waits for the
    /// reader.
    ~QueuedWriter();
    QueuedWriter(const QueuedWriter&) = delete;
    QueuedWriter& operator=(const QueuedWriter&) = delete;

    /// Queues `text` and a line break. Never blocks: when kMaxQueued bytes
    /// wait, the line is dropped and counted, and the next line queued once
    /// there is room is preceded by the dropped-lines notice. Thread-safe.
    void Line(const std::string& text);
    /// Waits up to `timeout` until everything queued is written; false when
    /// it was not, or writing failed.
    bool Flush(std::chrono::milliseconds timeout);
    /// Why writing failed ("" while it has not).
    std::string Failure() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace vostrel::tool
