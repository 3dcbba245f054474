// The platform layer on Windows: the control's serial port on a COM port,
// its watchdog timer, and the event loop that delivers their notifications
// on the host's thread through that thread's Windows message queue.
// Included by vostrel/platform.hpp; include that one.
//
// A host with a message pump (a form, a script host, an MFC or .NET
// application) writes, on its user-interface thread:
//
//     vostrel::platform::WindowLoop loop;        // lives as long as the control
//     auto nxt = vostrel::platform::MakeControl(loop);
//     nxt->SetEventSink(&sink);
//     nxt->ConnectNXT(5, 9600);                  // port 5 = \\.\COM5
//     // ... and goes on pumping messages as it always does.
//
// A console host without a pump uses DefaultLoop and calls run().
//
// Threading: a loop, the components made on it and the control belong to
// the thread that constructed the loop. Notifications (OnComm, Timer) arrive
// as messages to a message-only window owned by that thread, so they run
// only while that thread pumps messages (GetMessage/DispatchMessage), one at
// a time, never from inside a member call and never on another thread. Only
// post() (and DefaultLoop::stop) may be called from other threads.
//
// Lifetime: a loop must outlive every component made on it.
//
// Nothing here includes a Windows header: handles appear as void*.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "vostrel/components.hpp"
#include "vostrel/line_port.hpp"
#include "vostrel/port_map.hpp"
#include "vostrel/vostrel.hpp"

namespace vostrel::platform {

/// What the platform layer needs from the host's loop on Windows: one-shot
/// or repeating timers on a monotonic clock, and a thread-safe way for a
/// worker thread (the serial port's reader) to hand work to the loop's
/// thread. Every callback runs on the loop's thread, one at a time, never
/// from inside one of these members.
class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using Callback = std::function<void()>;
    /// Names one timer; 0 is never used.
    using Id = std::uint64_t;

    virtual ~EventLoop() = default;

    /// The loop's monotonic clock (steady_clock).
    virtual TimePoint Now() const = 0;

    /// Calls `onTick` from the loop at the absolute time `due`, then, when
    /// `period` is above zero, at due + period, due + 2 * period, ... (fixed
    /// deadlines, so ticks do not drift; ticks missed while the thread was
    /// busy are skipped, not bunched). period zero: one tick only.
    virtual Id StartTimer(TimePoint due, Clock::duration period, Callback onTick) = 0;
    /// Cancels a timer; no tick follows. Safe inside any callback, including
    /// the timer's own. An unknown or finished id is ignored.
    virtual void CancelTimer(Id timer) = 0;

    /// Queues `fn` to run on the loop's thread, in posting order. Thread-safe;
    /// callable from any thread while the loop exists.
    virtual void post(Callback fn) = 0;
};

/// The loop of a thread that pumps Windows messages: a message-only window
/// (HWND_MESSAGE) owned by the constructing thread receives the posted work
/// (a private message) and the timers (WM_TIMER, one Win32 timer for the
/// earliest deadline). Whoever pumps that thread's messages delivers them:
/// a form, a script host, an MFC or .NET application, or DefaultLoop.
///
/// One at a time: a callback that pumps messages itself (a host's handler
/// showing a message box, or calling DoEvents) never has another of the
/// loop's callbacks run inside it; what falls due meanwhile runs once it has
/// returned.
///
/// Accuracy: Windows delivers WM_TIMER on its timer tick (about 15.6 ms by
/// default) and only when no other message is waiting, so a tick comes up
/// to one system tick late; deadlines stay fixed, so lateness never adds up.
///
/// Error rules: construction throws Error(err::kDeviceIo) with the Win32
/// reason when the window cannot be made. A callback that throws is not let
/// through the window procedure (C++ exceptions must not cross Windows'
/// frames): the first such exception is kept and TakeFailure() returns it
/// (DefaultLoop rethrows it from run()). The control's own callbacks never
/// throw.
class WindowLoop : public EventLoop {
public:
    WindowLoop();
    /// Destroys the window; work posted and not yet run is dropped. Call on
    /// the owning thread; also allowed inside one of the loop's callbacks
    /// (nothing more runs, and the window goes when that callback returns).
    ~WindowLoop() override;
    WindowLoop(const WindowLoop&) = delete;
    WindowLoop& operator=(const WindowLoop&) = delete;

    TimePoint Now() const override;
    Id StartTimer(TimePoint due, Clock::duration period, Callback onTick) override;
    void CancelTimer(Id timer) override;
    void post(Callback fn) override;

    /// The message-only window (an HWND).
    void* Window() const;
    /// The exception a callback threw, taken (null when none did).
    std::exception_ptr TakeFailure();
    /// How many notifications (posted batches and timer messages) the
    /// window has handled (for checking that an idle loop really sleeps).
    std::uint64_t Deliveries() const;

    struct State;  // the window's side, in win32_window_loop.cpp

private:
    std::unique_ptr<State> state_;
};

/// A loop for console hosts without a message pump (the tool, the tests): it
/// owns a WindowLoop and pumps the thread's messages, waiting for messages
/// and its stop event together (MsgWaitForMultipleObjectsEx). Other windows
/// of the thread get their messages too.
class DefaultLoop : public EventLoop {
public:
    /// Throws Error(err::kDeviceIo) with the Win32 reason when the system
    /// refuses its window or event.
    DefaultLoop();
    ~DefaultLoop() override;
    DefaultLoop(const DefaultLoop&) = delete;
    DefaultLoop& operator=(const DefaultLoop&) = delete;

    /// Runs callbacks until stop(). An exception from a callback leaves
    /// run() (the loop stays usable: call run() again to go on). A WM_QUIT
    /// message also ends it (and is put back for an outer pump).
    void run();
    /// As run(), but returns after `d` at the latest, or earlier on stop().
    void run_for(std::chrono::milliseconds d);
    /// Makes the running run()/run_for() return after its current callback;
    /// with none running, the next one returns at once. Thread-safe.
    void stop();
    /// Queues `fn` to run on the loop thread, in posting order, and wakes
    /// the loop. Thread-safe.
    void post(std::function<void()> fn) override;

    TimePoint Now() const override;
    Id StartTimer(TimePoint due, Clock::duration period, Callback onTick) override;
    void CancelTimer(Id timer) override;

    /// How many times the loop has woken from the system's wait.
    std::uint64_t Wakeups() const { return wakeups_; }
    /// The loop it pumps for.
    WindowLoop& Window() { return window_; }

private:
    void RunUntil(TimePoint deadline, bool bounded);

    WindowLoop window_;
    void* stopEvent_ = nullptr;  // a manual-reset event HANDLE
    std::atomic<bool> stopRequested_{false};
    std::uint64_t wakeups_ = 0;
};

/// The control's serial port (Comm1) on a Windows COM port.
///
/// * Settings: "speed,parity,data,stop", e.g. "9600,n,8,1": any speed the
///   driver takes, parity n, e or o, 5 to 8 data bits, 1 or 2 stop bits. A
///   zero, negative or malformed text throws kInvalidPropertyValue; on an open
///   port the line changes at once, and settings the driver refuses throw
///   kInvalidPropertyValue with the old ones kept.
/// * PortOpen(True) opens the device exclusively (share mode 0, and a
///   named lock for drivers that ignore it: a second open, from this process
///   or another, throws kPortAlreadyOpen), on a fully raw line
///   (binary, no XON/XOFF, no error-character replacement, no null
///   stripping, no DTR/RTS handshake; DTR and RTS are held on), drops input
///   that was waiting, and starts a reader thread. A missing device throws
///   kPortInvalid, any other refusal kDeviceIo.
/// * OnComm fires from the loop when received bytes are waiting, and once
///   when the line hangs up or fails (the far end closed, a Bluetooth link
///   dropped, a USB adapter unplugged). The reader thread then stops: no
///   retry, no spin, no further notification until the port is reopened.
///   Input returns what was left, then ""; Output throws kDeviceIo. A write
///   the driver fails counts as such a hang-up too.
/// * Errors carry the system's reason: "... (Win32 error 2: The system
///   cannot find the file specified.)"; LastSystemError() gives its number.
/// * Received bytes are kept until Input takes them; when more than
///   kMaxWaiting are waiting, reading pauses (the driver then holds further
///   bytes) until Input is called.
class SerialPort : public LinePort {
public:
    static constexpr std::size_t kMaxWaiting = 64 * 1024;  // bytes
    /// The longest closing waits for accepted bytes still on their way out.
    static constexpr std::chrono::milliseconds kCloseDrain{500};

    explicit SerialPort(EventLoop& loop, PortMap ports = {});
    /// Closes the port if open.
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    void CommPort(Integer port) override;
    Integer CommPort() const override { return port_; }
    void Settings(const String& settings) override;
    String Settings() const override { return settings_; }
    /// False closes: bytes accepted by Output that have not left yet get up
    /// to kCloseDrain to go out (none waiting: no time is spent); what is
    /// still queued then is discarded and counted in LostAtClose(), and the
    /// port, closed all the same, then throws kDeviceIo saying how many. The
    /// reader thread is stopped and joined.
    void PortOpen(Boolean open) override;
    Boolean PortOpen() const override { return handle_ != nullptr ? kTrue : kFalse; }
    /// Accepts all of `bytes` behind the earlier ones and returns at once:
    /// what was accepted goes to the driver in order, one write at a time,
    /// started here when nothing is ahead of it and otherwise by a thread of
    /// the port. Never waits for the line. A packet is taken whole or refused
    /// whole: when the bytes not yet sent and `bytes` together exceed
    /// kOutputQueueBytes, nothing of it is accepted and kDeviceIo is thrown,
    /// "the line is not taking bytes (N bytes waiting)" (a packet larger
    /// than the whole queue: "the packet of N bytes is larger than the
    /// output queue (M bytes)"). A write the driver
    /// fails (a hang-up) throws kDeviceIo here when it fails as it starts,
    /// and otherwise makes the next Output throw it; what it did not send
    /// counts in LostAtClose. Throws kPortNotOpen when closed.
    void Output(const String& bytes) override;
    /// Every byte received and not yet read; "" when none. Throws
    /// kPortNotOpen when closed.
    String Input() override;
    void OnComm(Handler handler) override { handler_ = std::move(handler); }

    /// Waits up to `timeout` until every byte accepted by Output has left
    /// the driver's queue. True when it has (also when closed).
    bool Drain(std::chrono::milliseconds timeout) override;
    /// Once `event` (a Win32 event handle: an interrupt's, say) is
    /// signalled, every wait of the port ends at once: Drain returns false,
    /// and closing skips the rest of its grace (bytes still queued are lost
    /// and reported as usual). The handle stays the caller's and must stay
    /// valid while set; nullptr (the default): none.
    void CancelWaitsOn(CancelSignal event) override { cancelEvent_ = event; }
    /// Bytes the last close found still queued after kCloseDrain and had to
    /// discard (0 when none).
    std::size_t LostAtClose() const { return lostAtClose_; }

    /// The device path the current port number names ("" when none).
    std::string DevicePath() const;
    /// True once the open line has hung up or failed.
    bool HungUp() const { return hungUp_; }
    /// The Win32 error number of the last failure (0 when none).
    unsigned long LastSystemError() const { return lastSystemError_; }
    /// The device HANDLE while open, else nullptr (for tests and tools).
    void* NativeHandle() const { return handle_; }

    struct Reader;  // the reader thread's side, in win32_serial_port.cpp
    struct Writes;  // the write side: accepted bytes not yet sent

private:
    void OnReaderNews();
    void Close() noexcept;
    [[noreturn]] void Fail(int number, const std::string& what, unsigned long systemError);

    EventLoop& loop_;
    PortMap ports_;
    Integer port_ = 1;
    String settings_ = "9600,n,8,1";
    void* handle_ = nullptr;
    void* lock_ = nullptr;  // the named mutex that marks the device held
    void* cancelEvent_ = nullptr;
    std::shared_ptr<Reader> reader_;
    std::unique_ptr<Writes> writes_;
    bool hungUp_ = false;
    bool hangUpReported_ = false;
    String received_;
    std::size_t lostAtClose_ = 0;
    unsigned long lastSystemError_ = 0;
    Handler handler_;
};

/// The control's port: on Windows always the COM port (Windows makes its
/// own COM ports for paired Bluetooth devices).
using Port = SerialPort;

}  // namespace vostrel::platform
