// Interrupts on Windows: the console's Ctrl-C, Ctrl-Break and close
// requests are noted instead of ending the process at once, so a command
// closes its port before it ends. There is no descriptor to watch: Fd() is
// -1; Event() is signalled instead, which a port's waits take (listen takes
// interrupts through its StdinFeed).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>

#include "tool/interrupts.hpp"

namespace vostrel::tool {

namespace {
std::atomic<bool> g_pending{false};
// Made once and never closed: a handler still running on the system's
// thread as the instance goes must find it valid.
HANDLE g_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI OnControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    g_pending = true;
    if (g_event != nullptr) ::SetEvent(g_event);
    return TRUE;
}
}  // namespace

Interrupts::Interrupts() {
    g_pending = false;
    if (g_event != nullptr) ::ResetEvent(g_event);
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}

Interrupts::~Interrupts() { ::SetConsoleCtrlHandler(OnControl, FALSE); }

int Interrupts::Fd() const { return -1; }

bool Interrupts::Pending() const { return g_pending; }

void* Interrupts::Event() const { return g_event; }

platform::CancelSignal Interrupts::Signal() const { return g_event; }

}  // namespace vostrel::tool
