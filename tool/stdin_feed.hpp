// Standard input and interrupts for `listen`, delivered on the loop's
// thread: chunks of input as they come, then the end of input once; an
// interrupt (Ctrl-C, a termination request) calls its own handler. One
// file per system where it is needed: win32_stdin_feed.cpp (on POSIX the
// loop watches stdin and the interrupt pipe itself).
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "vostrel/platform.hpp"

namespace vostrel::tool {

class StdinFeed {
public:
    /// `onInput` gets each chunk read, then an empty chunk once at the end of
    /// input (or when reading fails); `onInterrupt` runs for each interrupt.
    /// Both run from `loop`, only while it runs. Installs the interrupt
    /// handling at once (one instance per process at a time).
    StdinFeed(platform::DefaultLoop& loop, std::function<void(std::string_view)> onInput,
              std::function<void()> onInterrupt);
    /// Restores the default interrupt handling; no callback runs afterwards.
    ~StdinFeed();
    StdinFeed(const StdinFeed&) = delete;
    StdinFeed& operator=(const StdinFeed&) = delete;

    /// No more input callbacks (interrupts still come).
    void StopInput();

    struct State;  // per system

private:
    std::shared_ptr<State> state_;
};

}  // namespace vostrel::tool
