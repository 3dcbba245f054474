// The self-pipe behind Interrupts: a handler may only write(2). A hang-up
// is taken like SIGTERM: left to its default it would end the tool with the
// device raw and without echo, and a queued tail lost without a word.
#include "tool/interrupts.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>

namespace vostrel::tool {

namespace {
int g_pipe[2] = {-1, -1};

// The signals taken, and what they did before.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kCount = sizeof kSignals / sizeof kSignals[0];
struct sigaction g_before[kCount];

extern "C" void OnSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &c, 1);
}
}  // namespace

Interrupts::Interrupts() {
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot make the interrupt pipe");
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int i = 0; i < kCount; ++i) {
        ::sigaction(kSignals[i], nullptr, &g_before[i]);
        // `nohup` asked for hang-ups to be ignored: they still are.
        if (kSignals[i] == SIGHUP && g_before[i].sa_handler == SIG_IGN) continue;
        ::sigaction(kSignals[i], &sa, nullptr);
    }
    // A host that went away must not kill us in the middle of a write.
    ::signal(SIGPIPE, SIG_IGN);
}

Interrupts::~Interrupts() {
    for (int i = 0; i < kCount; ++i) ::sigaction(kSignals[i], &g_before[i], nullptr);
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

int Interrupts::Fd() const { return g_pipe[0]; }

void* Interrupts::Event() const { return nullptr; }

platform::CancelSignal Interrupts::Signal() const { return Fd(); }

bool Interrupts::Pending() const {
    pollfd p{g_pipe[0], POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

}  // namespace vostrel::tool
