// The default loop on Windows: a message pump for console hosts. It waits
// for the thread's messages and its stop event together, and dispatches
// what comes, the WindowLoop's messages among them.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/windows/win32_error.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::platform {

DefaultLoop::DefaultLoop() {
    stopEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent_ == nullptr)
        throw Error(err::kDeviceIo, "cannot make the loop's stop event: " +
                                        detail::SystemErrorText(::GetLastError()));
}

DefaultLoop::~DefaultLoop() { ::CloseHandle(stopEvent_); }

EventLoop::TimePoint DefaultLoop::Now() const { return window_.Now(); }

EventLoop::Id DefaultLoop::StartTimer(TimePoint due, Clock::duration period, Callback onTick) {
    return window_.StartTimer(due, period, std::move(onTick));
}

void DefaultLoop::CancelTimer(Id timer) { window_.CancelTimer(timer); }

void DefaultLoop::post(std::function<void()> fn) { window_.post(std::move(fn)); }

void DefaultLoop::stop() {
    stopRequested_.store(true);
    ::SetEvent(stopEvent_);
}

void DefaultLoop::run() { RunUntil(TimePoint::max(), false); }

void DefaultLoop::run_for(std::chrono::milliseconds d) { RunUntil(Now() + d, true); }

void DefaultLoop::RunUntil(TimePoint deadline, bool bounded) {
    // Takes a pending stop: true when run must return.
    auto stopped = [this] {
        if (!stopRequested_.exchange(false)) return false;
        ::ResetEvent(stopEvent_);
        // A stop() between the exchange and the reset leaves its flag set,
        // so the next run still returns at once.
        if (stopRequested_.load()) ::SetEvent(stopEvent_);
        return true;
    };
    // One message per wait: the wait returns at once while more are queued
    // (MWMO_INPUTAVAILABLE), so asking the queue again after each message
    // would cost a call to the system (under Wine, a server round trip)
    // that finds it empty in the common case of one message per wake-up.
    bool peek = true;  // messages may be queued from before this run
    for (;;) {
        if (stopped()) return;
        MSG msg;
        const bool got = peek && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
        if (got) {
            if (msg.message == WM_QUIT) {
                // Meant for an outer pump: put it back and leave.
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                return;
            }
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
            if (std::exception_ptr e = window_.TakeFailure()) std::rethrow_exception(e);
            if (stopped()) return;
        }
        DWORD timeout = INFINITE;
        if (bounded) {
            const auto left = deadline - Now();
            if (left <= Clock::duration::zero()) {
                if (!got) return;
                continue;  // what was queued in time is still run
            }
            timeout = static_cast<DWORD>(std::min<long long>(
                std::chrono::ceil<std::chrono::milliseconds>(left).count(), INFINITE - 1));
        }
        // MWMO_INPUTAVAILABLE: wake also for messages that arrived before the
        // wait, which the Peek above may have left (a WM_TIMER not yet due).
        const HANDLE stopEvent = stopEvent_;
        const DWORD r =
            ::MsgWaitForMultipleObjectsEx(1, &stopEvent, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        ++wakeups_;
        if (r == WAIT_FAILED)
            throw Error(err::kDeviceIo,
                        "the loop's wait failed: " + detail::SystemErrorText(::GetLastError()));
        peek = r == WAIT_OBJECT_0 + 1;
    }
}

}  // namespace vostrel::platform
