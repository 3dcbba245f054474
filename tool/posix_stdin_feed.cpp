// Standard input and interrupts on POSIX: the loop watches stdin and the
// interrupt pipe.
#include <unistd.h>

#include <cerrno>

#include "tool/interrupts.hpp"
#include "tool/stdin_feed.hpp"

namespace vostrel::tool {

struct StdinFeed::State {
    platform::DefaultLoop& loop;
    Interrupts interrupts;
    platform::EventLoop::Id interruptWatch = 0;
    platform::EventLoop::Id stdinWatch = 0;

    explicit State(platform::DefaultLoop& l) : loop(l) {}
};

StdinFeed::StdinFeed(platform::DefaultLoop& loop, std::function<void(std::string_view)> onInput,
                     std::function<void()> onInterrupt)
    : state_(std::make_shared<State>(loop)) {
    State* s = state_.get();
    s->interruptWatch = loop.Watch(s->interrupts.Fd(), std::move(onInterrupt));
    s->stdinWatch = loop.Watch(STDIN_FILENO, [this, onInput = std::move(onInput)] {
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {
            StopInput();
            onInput({});
            return;
        }
        onInput(std::string_view(buf, static_cast<std::size_t>(n)));
    });
}

StdinFeed::~StdinFeed() {
    StopInput();
    state_->loop.Unwatch(state_->interruptWatch);
}

void StdinFeed::StopInput() {
    if (state_->stdinWatch == 0) return;
    state_->loop.Unwatch(state_->stdinWatch);
    state_->stdinWatch = 0;
}

}  // namespace vostrel::tool
