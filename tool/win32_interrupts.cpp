// Interrupts on Windows: the console's Ctrl-C, Ctrl-Break and close
// requests are noted instead of ending the process at once, so a command
// closes its port before it ends. There is no descriptor to watch: Fd() is
// -1 (listen takes interrupts through its StdinFeed instead).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>

#include "tool/interrupts.hpp"

namespace vostrel::tool {

namespace {
std::atomic<bool> g_pending{false};

BOOL WINAPI OnControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    g_pending = true;
    return TRUE;
}
}  // namespace

Interrupts::Interrupts() {
    g_pending = false;
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}

Interrupts::~Interrupts() { ::SetConsoleCtrlHandler(OnControl, FALSE); }

int Interrupts::Fd() const { return -1; }

bool Interrupts::Pending() const { return g_pending; }

}  // namespace vostrel::tool
