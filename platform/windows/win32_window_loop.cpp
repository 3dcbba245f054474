// The loop of a thread that pumps Windows messages: a message-only window
// of that thread receives posted work and timer messages, so whoever pumps
// the thread's queue runs the callbacks, on that thread.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/windows/win32_error.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::platform {

namespace {

// Private to the loop's own window class (WM_APP to 0xBFFF).
constexpr UINT kRunPosted = WM_APP + 0x158;  // wParam, lParam unused
constexpr UINT kRunTimers = WM_APP + 0x159;  // a timer already due
constexpr UINT_PTR kTimerId = 1;
constexpr wchar_t kClassName[] = L"VostrelWindowLoop";

// The window class is the process's, shared by the loops of every thread;
// it is registered while any loop exists, and unregistered after the last,
// so a DLL that is unloaded leaves no class pointing into freed code.
std::mutex g_classMutex;
int g_classUsers = 0;

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

}  // namespace

struct WindowLoop::State {
    struct TimerEntry {
        TimePoint due;
        Clock::duration period;
        Callback fn;
    };

    HWND window = nullptr;

    std::mutex postMutex;
    std::vector<Callback> posted;  // guarded by postMutex
    bool postPending = false;      // a kRunPosted message is on its way; guarded

    Id nextId = 1;
    std::map<Id, TimerEntry> timers;
    TimePoint armedFor = TimePoint::max();  // when the Win32 timer or kRunTimers fires
    std::exception_ptr failure;
    std::uint64_t deliveries = 0;

    // One delivery at a time: a callback that pumps messages itself (a
    // host's handler showing a message box) must not have the next
    // notification run inside it. What comes meanwhile waits for it.
    bool delivering = false;
    bool postedWaiting = false;  // a kRunPosted came while delivering
    // The WindowLoop was destroyed by one of its callbacks: the window and
    // this state go once that callback has returned.
    bool orphaned = false;

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    static void Destroy(State* state);
    void RunPosted();
    void RunDueTimers();
    void Arm();
    void Keep(std::exception_ptr e) {
        if (!failure) failure = std::move(e);
    }
};

LRESULT CALLBACK WindowLoop::State::Procedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lp);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
    auto* state = reinterpret_cast<State*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (state == nullptr || (msg != kRunPosted && msg != kRunTimers && msg != WM_TIMER))
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    if (state->delivering) {
        // A pump inside one of our callbacks. Nothing is re-posted now (the
        // pump would take it at once, and spin): posted work is announced
        // again, and the timers re-armed, once the callback has returned.
        if (msg == kRunPosted) {
            state->postedWaiting = true;
        } else {
            if (msg == WM_TIMER) ::KillTimer(hwnd, kTimerId);
            state->armedFor = TimePoint::max();
        }
        return 0;
    }
    state->delivering = true;
    // No exception may unwind through the system's frames that called us.
    try {
        ++state->deliveries;
        if (msg == kRunPosted) {
            state->RunPosted();
        } else {
            state->armedFor = TimePoint::max();
            if (msg == WM_TIMER) ::KillTimer(hwnd, kTimerId);
            state->RunDueTimers();
        }
    } catch (...) {
        state->Keep(std::current_exception());
    }
    state->delivering = false;
    if (state->orphaned) {
        Destroy(state);
        return 0;
    }
    if (state->postedWaiting) {
        state->postedWaiting = false;
        ::PostMessageW(hwnd, kRunPosted, 0, 0);  // postPending is still set for it
    }
    try {
        state->Arm();
    } catch (...) {
        state->Keep(std::current_exception());
    }
    return 0;
}

void WindowLoop::State::Destroy(State* state) {
    ::DestroyWindow(state->window);
    delete state;
    std::lock_guard lock(g_classMutex);
    if (--g_classUsers == 0) ::UnregisterClassW(kClassName, ThisModule());
}

void WindowLoop::State::RunPosted() {
    std::vector<Callback> batch;
    {
        std::lock_guard lock(postMutex);
        batch.swap(posted);
        postPending = false;
    }
    for (std::size_t i = 0; i < batch.size() && !orphaned; ++i) {
        try {
            batch[i]();
        } catch (...) {
            // The rest stay queued, in order, for the next delivery.
            bool wake = false;
            {
                std::lock_guard lock(postMutex);
                posted.insert(posted.begin(), std::make_move_iterator(batch.begin() + i + 1),
                              std::make_move_iterator(batch.end()));
                wake = !posted.empty() && !postPending;
                if (wake) postPending = true;
            }
            if (wake) ::PostMessageW(window, kRunPosted, 0, 0);
            throw;
        }
    }
}

void WindowLoop::State::RunDueTimers() {
    const TimePoint now = Clock::now();
    // The ids due now, earliest first; a callback may cancel or add timers,
    // so each is looked up again before it runs.
    std::vector<std::pair<TimePoint, Id>> due;
    for (const auto& [id, t] : timers)
        if (t.due <= now) due.emplace_back(t.due, id);
    std::sort(due.begin(), due.end());
    for (const auto& [when, id] : due) {
        auto it = timers.find(id);
        if (it == timers.end() || it->second.due != when) continue;
        Callback fn = it->second.fn;  // the callback may cancel its own entry
        if (it->second.period > Clock::duration::zero()) {
            TimerEntry& t = it->second;
            // Next fixed deadline after now; late ticks are skipped, not bunched.
            t.due += t.period;
            if (t.due <= now) t.due += ((now - t.due) / t.period + 1) * t.period;
        } else {
            timers.erase(it);
        }
        fn();
        if (orphaned) return;
    }
}

// Makes sure the window hears of the earliest deadline. An armed time
// earlier than needed is left alone (it costs one early message, after
// which this runs again); re-arming on every later deadline would cost a
// call each time the watchdog restarts.
void WindowLoop::State::Arm() {
    TimePoint earliest = TimePoint::max();
    for (const auto& [id, t] : timers) earliest = std::min(earliest, t.due);
    if (earliest == TimePoint::max() || armedFor <= earliest) return;
    const auto left = earliest - Clock::now();
    if (left <= Clock::duration::zero()) {
        if (::PostMessageW(window, kRunTimers, 0, 0)) armedFor = earliest;
        return;
    }
    // Rounded up, so the message never comes before the deadline's
    // millisecond; SetTimer itself raises anything under 10 ms to 10 ms.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    if (ms > 0x7FFFFFFF) ms = 0x7FFFFFFF;  // SetTimer's limit; it is re-armed then
    if (::SetTimer(window, kTimerId, static_cast<UINT>(ms), nullptr) == 0)
        throw Error(err::kDeviceIo,
                    "cannot set the loop's timer: " + detail::SystemErrorText(::GetLastError()));
    armedFor = earliest;
}

WindowLoop::WindowLoop() : state_(std::make_unique<State>()) {
    const HINSTANCE module = ThisModule();
    {
        std::lock_guard lock(g_classMutex);
        if (g_classUsers == 0) {
            WNDCLASSEXW wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = &State::Procedure;
            wc.hInstance = module;
            wc.lpszClassName = kClassName;
            if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
                throw Error(err::kDeviceIo, "cannot register the loop's window class: " +
                                                detail::SystemErrorText(::GetLastError()));
        }
        ++g_classUsers;
    }
    state_->window = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       module, state_.get());
    if (state_->window == nullptr) {
        const DWORD e = ::GetLastError();
        std::lock_guard lock(g_classMutex);
        if (--g_classUsers == 0) ::UnregisterClassW(kClassName, module);
        throw Error(err::kDeviceIo,
                    "cannot make the loop's message window: " + detail::SystemErrorText(e));
    }
}

WindowLoop::~WindowLoop() {
    if (state_->delivering) {
        // Destroyed by one of its own callbacks: the delivery still runs
        // on the state, which goes when it ends (see Procedure).
        state_.release()->orphaned = true;
        return;
    }
    State::Destroy(state_.release());
}

EventLoop::TimePoint WindowLoop::Now() const { return Clock::now(); }

EventLoop::Id WindowLoop::StartTimer(TimePoint due, Clock::duration period, Callback onTick) {
    const Id id = state_->nextId++;
    state_->timers.emplace(id, State::TimerEntry{due, period, std::move(onTick)});
    state_->Arm();
    return id;
}

void WindowLoop::CancelTimer(Id timer) { state_->timers.erase(timer); }

void WindowLoop::post(Callback fn) {
    bool wake = false;
    {
        std::lock_guard lock(state_->postMutex);
        state_->posted.push_back(std::move(fn));
        wake = !state_->postPending;
        state_->postPending = true;
    }
    // One message carries every callback queued before it runs, so a busy
    // reader cannot fill the thread's queue (which holds 10,000 messages).
    if (wake && !::PostMessageW(state_->window, kRunPosted, 0, 0)) {
        std::lock_guard lock(state_->postMutex);
        state_->postPending = false;
        throw Error(err::kDeviceIo,
                    "cannot wake the loop: " + detail::SystemErrorText(::GetLastError()));
    }
}

void* WindowLoop::Window() const { return state_->window; }

std::exception_ptr WindowLoop::TakeFailure() {
    std::exception_ptr e;
    e.swap(state_->failure);
    return e;
}

std::uint64_t WindowLoop::Deliveries() const { return state_->deliveries; }

}  // namespace vostrel::platform
