#include "tool/queued_writer.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "tool/std_streams.hpp"

namespace vostrel::tool {

struct QueuedWriter::State {
    std::FILE* stream = nullptr;
    std::function<std::string(std::uint64_t)> droppedNotice;
    std::function<void(const std::string&)> onFailure;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> lines;  // each with its line break
    std::size_t queued = 0;         // bytes in `lines`
    std::uint64_t dropped = 0;      // lines dropped since the last notice
    bool writing = false;           // a line is being written
    bool stopping = false;
    std::string failure;
    bool failureReported = false;  // onFailure has returned

    void Run() {
        for (;;) {
            std::string line;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return !lines.empty() || stopping; });
                if (stopping || !failure.empty()) return;
                line = std::move(lines.front());
                lines.pop_front();
                queued -= line.size();
                writing = true;
            }
            const std::string why = WriteAndFlush(stream, line);
            const bool ok = why.empty();
            {
                std::lock_guard lock(mutex);
                writing = false;
                if (!ok) failure = why;
            }
            if (!ok) {
                // Told before Flush says so, so a caller that flushed has heard.
                if (onFailure) onFailure(why);
                std::lock_guard lock(mutex);
                failureReported = true;
            }
            changed.notify_all();
            if (!ok) return;
        }
    }
};

QueuedWriter::QueuedWriter(std::FILE* stream,
                           std::function<std::string(std::uint64_t)> droppedNotice,
                           std::function<void(const std::string&)> onFailure)
    : state_(std::make_shared<State>()) {
    state_->stream = stream;
    state_->droppedNotice = std::move(droppedNotice);
    state_->onFailure = std::move(onFailure);
    thread_ = std::thread([s = state_] { s->Run(); });
}

QueuedWriter::~QueuedWriter() {
    bool blocked = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        blocked = state_->writing;
    }
    state_->changed.notify_all();
    if (blocked)
        thread_.detach();  // the state lives on with the thread
    else
        thread_.join();
}

void QueuedWriter::Line(const std::string& text) {
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->failure.empty()) return;
        std::string line = text + '\n';
        if (state_->dropped > 0) {
            std::string notice = state_->droppedNotice(state_->dropped) + '\n';
            if (state_->queued + notice.size() + line.size() > kMaxQueued) {
                ++state_->dropped;
                return;
            }
            state_->queued += notice.size();
            state_->lines.push_back(std::move(notice));
            state_->dropped = 0;
        } else if (state_->queued + line.size() > kMaxQueued) {
            ++state_->dropped;
            return;
        }
        state_->queued += line.size();
        state_->lines.push_back(std::move(line));
    }
    state_->changed.notify_all();
}

bool QueuedWriter::Flush(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] {
        return state_->failureReported ||
               (state_->failure.empty() && state_->lines.empty() && !state_->writing);
    }) && state_->failure.empty();
}

std::string QueuedWriter::Failure() const {
    std::lock_guard lock(state_->mutex);
    return state_->failure;
}

}  // namespace vostrel::tool
