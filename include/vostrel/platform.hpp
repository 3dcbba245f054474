// The platform layer: a real serial port and timer for the control, and the
// event loop that delivers their notifications on the host's one thread.
//
// A host with no loop of its own writes:
//
//     vostrel::platform::DefaultLoop loop;
//     auto nxt = vostrel::platform::MakeControl(loop);
//     nxt->SetEventSink(&sink);
//     nxt->ConnectNXT(0, 9600);          // port 0 = /dev/rfcomm0 on Linux
//     loop.run();
//
// A host with its own loop implements EventLoop over it (or uses the Asio
// adapter in vostrel/asio_loop.hpp) and passes that instead.
//
// Threading: the loop, the components and the control belong to the thread
// that runs the loop. Notifications (OnComm, Timer) are delivered only from
// loop callbacks, one at a time, never from inside a member call; an event
// that falls due while the host is in a call waits until the call returns
// to the loop. Only DefaultLoop::post and DefaultLoop::stop may be called
// from other threads.
//
// Lifetime: a loop must outlive every component made on it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "vostrel/components.hpp"
#include "vostrel/line_port.hpp"
#include "vostrel/port_map.hpp"
#include "vostrel/vostrel.hpp"

namespace vostrel::platform {

/// The most bytes a serial port holds for the line, on every system: bytes
/// Output accepted that the system has not taken yet. Output never waits for
/// room; a packet that does not fit is refused whole. A few hundred of the
/// brick's packets, so a burst (its 5-message inbox many times over) fits,
/// while a dead line cannot pile up memory.
inline constexpr std::size_t kOutputQueueBytes = 16 * 1024;

}  // namespace vostrel::platform

// Windows has its own loop, serial port and port numbers; the POSIX ones
// follow.
#if defined(_WIN32)
#include "vostrel/win32/platform.hpp"
#else
#include "vostrel/bluetooth.hpp"

namespace vostrel::platform {

/// The two services the platform layer needs from the host's event loop:
/// watch a file descriptor for readability (and hang-up), and arm / re-arm /
/// cancel one-shot or repeating timers on a monotonic clock. Implement it
/// over any loop; every callback must run on the loop's thread, one at a
/// time, and never from inside one of these members.
class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using Callback = std::function<void()>;
    /// Names one watch or one timer; 0 is never used.
    using Id = std::uint64_t;

    virtual ~EventLoop() = default;

    /// The loop's monotonic clock (steady_clock for a real loop).
    virtual TimePoint Now() const = 0;

    /// Calls `onReady` from the loop whenever `fd` is readable or has hung
    /// up or failed, until Unwatch. Readiness is level-triggered: the
    /// callback is called again while the condition lasts, so it must
    /// consume the input or unwatch. `fd` stays owned by the caller.
    virtual Id Watch(int fd, Callback onReady) = 0;
    /// Stops a watch; its callback is not called afterwards, also when it
    /// was already due in this loop iteration. Safe inside any callback,
    /// including the watch's own. An unknown id is ignored.
    virtual void Unwatch(Id watch) = 0;

    /// Calls `onWritable` from the loop whenever `fd` can take more bytes,
    /// or has hung up or failed, until Unwatch (level-triggered, as Watch:
    /// the callback must write or unwatch). May be combined with a Watch of
    /// the same descriptor. A loop that cannot watch for room returns 0 (the
    /// default); the caller then retries on a timer.
    virtual Id WatchWritable(int fd, Callback onWritable) {
        (void)fd;
        (void)onWritable;
        return 0;
    }

    /// Calls `onTick` from the loop at the absolute time `due`, then, when
    /// `period` is above zero, at due + period, due + 2 * period, ... (fixed
    /// deadlines, so ticks do not drift; ticks missed while the loop was
    /// busy are skipped, not bunched). period zero: one tick only.
    virtual Id StartTimer(TimePoint due, Clock::duration period, Callback onTick) = 0;
    /// Cancels a timer; no tick follows. Safe inside any callback, including
    /// the timer's own. An unknown or finished id is ignored. Re-arming is
    /// CancelTimer followed by StartTimer.
    virtual void CancelTimer(Id timer) = 0;
};

/// A poll-based loop for hosts without one: the tool and the tests use it.
/// It sleeps in the system until a watched descriptor is ready, a timer is
/// due, or another thread posts or stops.
class DefaultLoop : public EventLoop {
public:
    /// Throws Error(err::kDeviceIo) when the system refuses its wake-up pipe.
    DefaultLoop();
    ~DefaultLoop() override;
    DefaultLoop(const DefaultLoop&) = delete;
    DefaultLoop& operator=(const DefaultLoop&) = delete;

    /// Runs callbacks until stop(). An exception from a callback leaves
    /// run() (the loop stays usable: call run() again to go on).
    void run();
    /// As run(), but returns after `d` at the latest, or earlier on stop().
    void run_for(std::chrono::milliseconds d);
    /// Makes the running run()/run_for() return after its current callback;
    /// with none running, the next one returns at once. Thread-safe.
    void stop();
    /// Queues `fn` to run on the loop thread, in posting order, and wakes
    /// the loop. Thread-safe.
    void post(std::function<void()> fn);

    TimePoint Now() const override;
    Id Watch(int fd, Callback onReady) override;
    Id WatchWritable(int fd, Callback onWritable) override;
    void Unwatch(Id watch) override;
    Id StartTimer(TimePoint due, Clock::duration period, Callback onTick) override;
    void CancelTimer(Id timer) override;

    /// How many times the loop has woken from the system's wait (for
    /// checking that an idle loop really sleeps).
    std::uint64_t Wakeups() const { return wakeups_; }

private:
    struct WatchEntry {
        int fd;
        Callback fn;
    };
    struct TimerEntry {
        TimePoint due;
        Clock::duration period;
        Callback fn;
    };
    class Poller;  // the system's wait on descriptors, kept between wake-ups
    void RunUntil(TimePoint deadline, bool bounded);
    void ArmPreciseWake(TimePoint wakeAt);
    void RunPosted();
    void RunDueTimers();
    void Wake();

    // Waits longer than this wake by the timerfd where there is one.
    static constexpr std::chrono::milliseconds kPreciseAfter{50};

    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int timerFd_ = -1;
    TimePoint armedAt_ = TimePoint::max();  // when the timerfd fires; max: not armed
    std::atomic<bool> stopRequested_{false};
    std::mutex postMutex_;
    std::vector<std::function<void()> > posted_;
    bool wakePending_ = false;  // guarded by postMutex_

    Id nextId_ = 1;
    std::map<Id, WatchEntry> watches_;
    // Told of each Watch and Unwatch, not handed every watch on each wait.
    std::unique_ptr<Poller> poller_;
    std::map<Id, TimerEntry> timers_;
    // The timers by due time, then id: the next one is at the front, and
    // timers due at the same time tick in the order they were started.
    std::set<std::pair<TimePoint, Id> > timerQueue_;
    std::uint64_t wakeups_ = 0;
};

namespace detail {
class FdWriteQueue;
}

/// The control's serial port (Comm1) on a POSIX tty, written on termios.
///
/// * Settings: "speed,parity,data,stop", e.g. "9600,n,8,1". Speed in bits/s,
///   any the device takes (also ones without a standard constant, such as
///   14400); parity n, e or o; 5 to 8 data bits; 1 or 2 stop bits. A zero,
///   negative or malformed text throws kInvalidPropertyValue; on an open port
///   the line changes at once, and a speed the device refuses throws
///   kInvalidPropertyValue with the old settings kept.
/// * PortOpen(True) opens without blocking (a /dev/rfcomm device may still be
///   waiting for its radio link), without becoming the controlling terminal,
///   on a fully raw line (no echo, no signal characters, no software flow
///   control, no CR/LF translation), drops input that was waiting, and holds
///   the device exclusively: a second open, from this process or another,
///   also as root, throws kPortAlreadyOpen. It also refuses, with
///   kPortAlreadyOpen and "in use by process N (name)", a device another
///   process has open without locking it, where the system shows that (on
///   Linux, for processes whose descriptors this user may inspect). A missing
///   device or one that is no terminal throws kPortInvalid, any other refusal
///   kDeviceIo; an already open port throws kPortAlreadyOpen. Every error's
///   text carries the system's reason ("No such file or directory",
///   "Permission denied", ...).
/// * The line's settings as they were before the open are put back when the
///   port closes (also from the destructor).
/// * OnComm fires from the loop when received bytes are waiting, and once when
///   the line hangs up or fails. After a hang-up the device is no longer
///   watched (nothing spins); Input returns what was left, then "", and
///   Output throws kDeviceIo, until the port is closed or reopened.
/// * Received bytes are kept in the port until Input takes them; when more
///   than kMaxWaiting are waiting, reading pauses (the system then holds
///   further bytes) until Input is called.
class SerialPort : public LinePort {
public:
    static constexpr std::size_t kMaxWaiting = 64 * 1024;  // bytes

    explicit SerialPort(EventLoop& loop, PortMap ports = {});
    /// Closes the port if open.
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    void CommPort(Integer port) override;
    Integer CommPort() const override { return port_; }
    void Settings(const String& settings) override;
    String Settings() const override { return settings_; }
    Boolean PortOpen() const override { return fd_ >= 0 ? kTrue : kFalse; }
    /// How long closing waits for bytes already accepted to leave.
    static constexpr std::chrono::milliseconds kCloseGrace{500};

    /// Takes all of `bytes` and returns at once: what the system takes now
    /// goes to the line, the rest waits in the port's queue and follows from
    /// the loop, in order, as the line takes more. Never waits. A packet is
    /// taken whole or refused whole: when it does not fit in the queue
    /// (kOutputQueueBytes, with what already waits), nothing of it is
    /// accepted and kDeviceIo is thrown, "the line is not taking bytes (N
    /// bytes waiting)", or, for a packet larger than the whole queue, "the
    /// packet of N bytes is larger than the output queue (M bytes)". Throws
    /// kPortNotOpen when closed, kDeviceIo when the line has hung up or the
    /// write fails.
    void Output(const String& bytes) override;
    /// PortOpen(False) first gives bytes still waiting (in the port's queue
    /// or the system's) up to kCloseGrace to leave, and returns at once when
    /// none wait; it then puts the line's old settings back and closes. When accepted
    /// bytes never reached the line (the grace ran out, or the line failed
    /// while they waited), the port is closed all the same and kDeviceIo is
    /// thrown: "closed with N bytes of a packet (of M packets) not sent: why"
    /// (see also LostAtClose).
    /// A close never leaves the device mid-packet for the next open: when
    /// the line holds part of a packet, the rest is kept in this process and
    /// the next PortOpen(True) of the same device (by any port object) sends
    /// it before anything else, so the far end reads that packet whole and
    /// every later one framed; the close's text then says so. Not kept when
    /// the line failed.
    void PortOpen(Boolean open) override;
    /// Every byte received and not yet read (reading the device until it has
    /// no more); "" when none. Throws kPortNotOpen when closed. A failing read
    /// counts as a line failure, like a hang-up: what was read before it is
    /// returned, then "".
    String Input() override;
    void OnComm(Handler handler) override { handler_ = std::move(handler); }

    /// Waits, at most `timeout`, until every byte Output accepted has left
    /// this program and the system's output queue. True when it did; false
    /// when the time ran out first (what is left stays queued and still
    /// follows) or when accepted bytes were lost to a line failure. True on
    /// a closed port. Runs no loop callbacks.
    bool Drain(std::chrono::milliseconds timeout) override;
    /// Once `fd` is readable (an interrupt's self-pipe, say), every wait of
    /// the port ends at once: Drain returns false, and closing skips the rest
    /// of its grace (bytes still queued are lost and reported as usual). The descriptor is only
    /// polled, never read; it stays the caller's and must stay open while set. -1 (the default):
    /// none.
    void CancelWaitsOn(CancelSignal fd) override { cancelFd_ = fd; }
    /// Bytes Output accepted that this program still holds (not yet given to
    /// the system), at most kOutputQueueBytes.
    std::size_t Unsent() const;
    /// Bytes Output had accepted that the last close threw away (0: none).
    std::size_t LostAtClose() const { return lostAtClose_; }

    /// The device path the current port number names ("" when none).
    std::string DevicePath() const;
    /// True once the open line has hung up or failed.
    bool HungUp() const { return hungUp_; }
    /// The system descriptor while open, else -1 (for tests and tools).
    int NativeHandle() const { return fd_; }

private:
    struct SavedLine;  // the line's settings from before the open
    void OnReadable();
    void ReadAvailable();
    void StartWatching();
    void StopWatching();
    // Closes; returns how many accepted bytes were lost.
    std::size_t Close() noexcept;

    EventLoop& loop_;
    PortMap ports_;
    Integer port_ = 1;
    String settings_ = "9600,n,8,1";
    int fd_ = -1;
    EventLoop::Id watch_ = 0;
    bool hungUp_ = false;
    bool hangUpReported_ = false;
    bool drained_ = false;  // inside OnComm, right after a read emptied the device
    String received_;
    std::unique_ptr<detail::FdWriteQueue> out_;  // accepted bytes the line has not taken yet
    std::size_t lostAtClose_ = 0;
    std::size_t packetsLostAtClose_ = 0;
    bool restKept_ = false;  // the last close kept a started packet's rest for the next open
    std::unique_ptr<SavedLine> saved_;
    CancelSignal cancelFd_ = kNoCancel;  // readable: waits end at once
    Handler handler_;
};

/// The control's port (Comm1) on Linux: the tty port where the port number
/// names a device, the Bluetooth port where it names a brick
/// (PortMap::MapBrick, MapText). Every member goes to the one the current
/// number chooses; both keep the promises of SerialPort.
class Port : public LinePort {
public:
    explicit Port(EventLoop& loop, PortMap ports = {});
    ~Port() override;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    /// Throws kPortOpen while open, kPortInvalid when the number names
    /// nothing.
    void CommPort(Integer port) override;
    Integer CommPort() const override { return port_; }
    void Settings(const String& settings) override;
    String Settings() const override { return Active().Settings(); }
    void PortOpen(Boolean open) override;
    /// The control asks this after every packet it files: answered here,
    /// without a second virtual call.
    Boolean PortOpen() const override {
        return brick_ ? bluetooth_.BluetoothPort::PortOpen() : serial_.SerialPort::PortOpen();
    }
    void Output(const String& bytes) override { Active().Output(bytes); }
    String Input() override { return Active().Input(); }
    void OnComm(Handler handler) override;

    /// SerialPort::Drain or BluetoothPort::Drain.
    bool Drain(std::chrono::milliseconds timeout) override;
    /// Both ports' waits end once `fd` is readable (see SerialPort).
    void CancelWaitsOn(CancelSignal fd) override;
    /// Why a Bluetooth link failed or did not come up; "" for a tty or a
    /// link that is fine.
    std::string LinkFailure() const override { return brick_ ? bluetooth_.LinkFailure() : ""; }
    /// True when the current number names a brick.
    bool IsBrick() const { return brick_; }
    SerialPort& Serial() { return serial_; }
    BluetoothPort& Bluetooth() { return bluetooth_; }

private:
    const Comm& Active() const;
    Comm& Active();

    PortMap ports_;
    SerialPort serial_;
    BluetoothPort bluetooth_;
    Integer port_ = 1;
    bool brick_ = false;
};

}  // namespace vostrel::platform

#endif  // !_WIN32

// Both systems: the watchdog timer on the loop, and the control made on it.
namespace vostrel::platform {

/// The control's watchdog timer (PingTimer) on the loop's monotonic clock.
/// Enabled(True) starts counting from zero, also when already enabled;
/// ticks then come every Interval, on fixed deadlines, until disabled.
/// Changing Interval while enabled starts counting again with the new one.
class LoopTimer : public Timer {
public:
    explicit LoopTimer(EventLoop& loop);
    ~LoopTimer() override;
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

    /// Period in ms, 1 or more; anything else throws kInvalidPropertyValue.
    void Interval(Long milliseconds) override;
    Long Interval() const override { return interval_; }
    void Enabled(Boolean enabled) override;
    Boolean Enabled() const override { return timer_ != 0 ? kTrue : kFalse; }
    void OnTimer(Handler handler) override { handler_ = std::move(handler); }

private:
    void Start();
    void Stop();

    EventLoop& loop_;
    Long interval_ = 1000;
    EventLoop::Id timer_ = 0;
    Handler handler_;
};

/// A control bound to `loop` (on Windows a WindowLoop or a DefaultLoop) and
/// `host` (not owned; nullptr: always run mode), with a Port on `ports` (a
/// SerialPort on Windows) and a LoopTimer. The new instance's properties are already
/// initialised (UserControl_InitProperties has been called); a host
/// restoring saved properties calls UserControl_ReadProperties on it. Call
/// on the loop's thread; the loop must outlive the control.
std::unique_ptr<Vostrel> MakeControl(EventLoop& loop, HostSite* host = nullptr, PortMap ports = {});

}  // namespace vostrel::platform
