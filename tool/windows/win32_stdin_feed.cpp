// Standard input and interrupts on Windows: a thread reads stdin (a console
// or a pipe: neither can be waited on together with messages) and posts
// what it reads to the loop; the console's control handler posts Ctrl-C,
// Ctrl-Break and close requests.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "tool/stdin_feed.hpp"

namespace vostrel::tool {

struct StdinFeed::State {
    platform::DefaultLoop& loop;
    std::function<void(std::string_view)> onInput;
    std::function<void()> onInterrupt;
    bool inputOpen = true;  // loop thread only

    explicit State(platform::DefaultLoop& l) : loop(l) {}
};

namespace {

// What the reader thread may touch: the loop, until the feed lets go of it.
struct Channel {
    std::mutex mutex;
    platform::DefaultLoop* loop = nullptr;  // null once the feed is gone
    std::weak_ptr<StdinFeed::State> state;

    // Posts `chunk` to the loop while the feed exists; false once it is gone.
    bool Deliver(std::string chunk) {
        std::lock_guard lock(mutex);
        if (loop == nullptr) return false;
        loop->post([weak = state, chunk = std::move(chunk)] {
            auto s = weak.lock();
            if (!s || !s->inputOpen) return;
            if (chunk.empty()) s->inputOpen = false;
            s->onInput(chunk);
        });
        return true;
    }
};

// The one feed whose loop hears the interrupts (the handler runs on a
// thread of its own).
std::mutex g_mutex;
std::shared_ptr<Channel> g_current;

BOOL WINAPI OnControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    std::shared_ptr<Channel> c;
    {
        std::lock_guard lock(g_mutex);
        c = g_current;
    }
    if (!c) return FALSE;
    std::lock_guard lock(c->mutex);
    if (c->loop == nullptr) return FALSE;
    c->loop->post([weak = c->state] {
        if (auto s = weak.lock(); s && s->onInterrupt) s->onInterrupt();
    });
    return TRUE;
}

}  // namespace

StdinFeed::StdinFeed(platform::DefaultLoop& loop, std::function<void(std::string_view)> onInput,
                     std::function<void()> onInterrupt)
    : state_(std::make_shared<State>(loop)) {
    state_->onInput = std::move(onInput);
    state_->onInterrupt = std::move(onInterrupt);
    auto channel = std::make_shared<Channel>();
    channel->loop = &loop;
    channel->state = state_;
    {
        std::lock_guard lock(g_mutex);
        g_current = channel;
    }
    ::SetConsoleCtrlHandler(&OnControl, TRUE);

    // A read of a console or a pipe cannot be waited on beside the loop's
    // messages, nor always cancelled: the thread blocks in it, and is left
    // to end with the process once the feed is gone (it then touches only
    // the channel, which it shares).
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    std::thread([channel, in] {
        char buf[4096];
        for (;;) {
            DWORD n = 0;
            if (in == nullptr || in == INVALID_HANDLE_VALUE ||
                !::ReadFile(in, buf, sizeof buf, &n, nullptr) || n == 0) {
                channel->Deliver({});
                return;
            }
            if (!channel->Deliver(std::string(buf, n))) return;
        }
    }).detach();
}

StdinFeed::~StdinFeed() {
    ::SetConsoleCtrlHandler(&OnControl, FALSE);
    std::shared_ptr<Channel> c;
    {
        std::lock_guard lock(g_mutex);
        c.swap(g_current);
    }
    if (c) {
        std::lock_guard lock(c->mutex);
        c->loop = nullptr;
    }
    StopInput();
}

void StdinFeed::StopInput() { state_->inputOpen = false; }

}  // namespace vostrel::tool
