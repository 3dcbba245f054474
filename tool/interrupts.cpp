// The self-pipe behind Interrupts: a handler may only write(2).
#include "tool/interrupts.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>

namespace vostrel::tool {

namespace {
int g_pipe[2] = {-1, -1};

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
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    // A host that went away must not kill us in the middle of a write.
    ::signal(SIGPIPE, SIG_IGN);
}

Interrupts::~Interrupts() {
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

int Interrupts::Fd() const { return g_pipe[0]; }

bool Interrupts::Pending() const {
    pollfd p{g_pipe[0], POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

}  // namespace vostrel::tool
