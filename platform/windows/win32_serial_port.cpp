// The serial port on a Windows COM port: a DCB for the line, a reader
// thread with overlapped reads that hands received bytes to the loop's
// thread, and overlapped writes, one at a time, in order.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/line_settings.hpp"
#include "platform/output_bound.hpp"
#include "platform/windows/win32_error.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::platform {

namespace {

constexpr DWORD kReadChunk = 4096;
// After a read that completed empty (which a driver honouring the timeouts
// below never does), the reader waits this long before asking again, so
// such a driver cannot make it spin.
constexpr DWORD kEmptyReadPause = 10;  // ms

// The name of the lock that marks `path` as held: "Local\Vostrel.Port.COM5"
// for "\\.\COM5" and "COM5" alike (a backslash may not follow the prefix).
std::wstring LockName(const std::string& path) {
    std::string device = path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
    for (char& c : device) {
        if (c == '\\') c = '/';
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return L"Local\\Vostrel.Port." + detail::Widen(device);
}

detail::LineSettings Parse(const String& text) {
    auto ls = detail::ParseLineSettings(text);
    if (!ls) throw Error(err::kInvalidPropertyValue, "invalid line settings \"" + text + "\"");
    return *ls;
}

// Sets the line from `ls`, fully raw, and reads it back: a driver may take
// the call and quietly keep a value it cannot do.
void ApplyLine(HANDLE h, const detail::LineSettings& ls) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb))
        throw Error(err::kInvalidPropertyValue,
                    "cannot read the line settings: " + detail::SystemErrorText(::GetLastError()));
    dcb.BaudRate = static_cast<DWORD>(ls.speed);
    dcb.ByteSize = static_cast<BYTE>(ls.dataBits);
    dcb.Parity = ls.parity == 'e' ? EVENPARITY : ls.parity == 'o' ? ODDPARITY : NOPARITY;
    // Two stop bits after five data bits is a combination the DCB refuses; a
    // UART asked for two there sends one and a half, so that is what it gets.
    dcb.StopBits = ls.stopBits == 1 ? ONESTOPBIT : ls.dataBits == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    dcb.fBinary = TRUE;  // Windows supports nothing else; no end-of-file character
    dcb.fParity = ls.parity != 'n' ? TRUE : FALSE;
    // No handshake of any kind: the brick's virtual line has none, and a
    // control line the far end never raises must not stop the data.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;  // no XON/XOFF: 0x11 and 0x13 are data
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;  // bytes with parity errors are not replaced
    dcb.fNull = FALSE;       // 0x00 is data, never stripped
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;  // a line error must not stall reads and writes
    if (!::SetCommState(h, &dcb))
        throw Error(err::kInvalidPropertyValue,
                    "the device refused the line settings \"" + std::to_string(ls.speed) +
                        "\": " + detail::SystemErrorText(::GetLastError()));
    DCB back{};
    back.DCBlength = sizeof back;
    if (!::GetCommState(h, &back))
        throw Error(err::kInvalidPropertyValue,
                    "cannot read the line settings: " + detail::SystemErrorText(::GetLastError()));
    if (back.BaudRate != dcb.BaudRate)
        throw Error(err::kInvalidPropertyValue,
                    "the device does not support speed " + std::to_string(ls.speed));
    std::string differs;
    auto note = [&](const std::string& what) { differs += (differs.empty() ? "" : ", ") + what; };
    auto compare = [&](const char* what, unsigned asked, unsigned has) {
        if (asked != has)
            note(std::string(what) + " " + std::to_string(asked) + " asked, " +
                 std::to_string(has) + " set");
    };
    compare("data bits", dcb.ByteSize, back.ByteSize);
    compare("parity", dcb.Parity, back.Parity);
    compare("stop bits", dcb.StopBits, back.StopBits);
    if (back.fOutX || back.fInX) note("XON/XOFF on");
    if (back.fNull || back.fErrorChar) note("bytes replaced or stripped");
    if (back.fOutxCtsFlow || back.fOutxDsrFlow) note("handshake on");
    if (!differs.empty())
        throw Error(err::kInvalidPropertyValue,
                    "the device did not take the line settings (" + differs + ")");
}

}  // namespace

// What the reader thread and the loop's thread share. The thread only
// reads the device and fills `data`; everything else happens on the loop's
// thread, through the notification it posts.
struct SerialPort::Reader {
    HANDLE device = nullptr;
    HANDLE stopEvent = nullptr;    // manual reset: the port is closing
    HANDLE resumeEvent = nullptr;  // auto reset: Input made room
    HANDLE readEvent = nullptr;    // the overlapped read's
    EventLoop* loop = nullptr;

    std::mutex mutex;
    String data;                 // received, not yet taken by the port
    bool failed = false;         // the read side ended: hang-up or failure
    DWORD error = 0;             // its Win32 error
    bool notifyPending = false;  // a notification is posted and not yet run

    // Loop thread only: the port, while it is open; a notification that
    // arrives after the port closed finds null and does nothing.
    SerialPort* owner = nullptr;

    std::thread thread;

    ~Reader() {
        for (HANDLE h : {stopEvent, resumeEvent, readEvent})
            if (h != nullptr) ::CloseHandle(h);
    }

    static void Run(std::shared_ptr<Reader> self) { self->Loop(self); }

    void Loop(const std::shared_ptr<Reader>& self) {
        char buffer[kReadChunk];
        for (;;) {
            {
                std::unique_lock lock(mutex);
                if (data.size() >= kMaxWaiting) {
                    // Paused until Input takes what waits; the driver holds
                    // what comes meanwhile.
                    lock.unlock();
                    const HANDLE waits[] = {stopEvent, resumeEvent};
                    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
                        return;
                    continue;
                }
            }
            // Wait for the first byte, then take what else the driver
            // already holds: the bytes reach the loop the moment they are
            // here, with no timer between.
            DWORD got = 0;
            DWORD error = 0;
            if (!Read(buffer, 1, got, error)) return;
            if (error == 0 && got == 1) {
                DWORD more = 0;
                COMSTAT status{};
                DWORD flags = 0;
                // A driver that cannot say what it holds has the rest
                // taken by the next wait, one byte later: nothing is lost.
                if (::ClearCommError(device, &flags, &status))
                    more = std::min<DWORD>(status.cbInQue, kReadChunk - 1);
                if (more > 0) {
                    DWORD rest = 0;
                    if (!Read(buffer + 1, more, rest, error)) return;
                    got += std::min(rest, more);
                }
            }
            if (error != 0) {
                // A hang-up (109 on a pipe-like line, 21 or 1167 for a
                // device gone) or any failure ends the thread: reported
                // once, never retried. Bytes the reads still brought are kept.
                if (::WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) return;
                Hand(self, String(buffer, got), true, error);
                return;
            }
            if (got == 0) {
                if (::WaitForSingleObject(stopEvent, kEmptyReadPause) == WAIT_OBJECT_0) return;
                continue;
            }
            Hand(self, String(buffer, got), false, 0);
        }
    }

    // One overlapped read of up to `size` bytes into `into`: `got` what it
    // brought, `error` its failure (0 when none). False when the port is
    // closing: the read was cancelled and the thread must end.
    bool Read(char* into, DWORD size, DWORD& got, DWORD& error) {
        OVERLAPPED ov{};
        ov.hEvent = readEvent;
        got = 0;
        error = 0;
        if (!::ReadFile(device, into, size, nullptr, &ov)) {
            error = ::GetLastError();
            if (error != ERROR_IO_PENDING) return true;
            error = 0;
            // A read of bytes already there is often done by now: a wait
            // would cost a call to the system (under Wine, a server round
            // trip) for nothing.
            const HANDLE waits[] = {readEvent, stopEvent};
            if (!HasOverlappedIoCompleted(&ov) &&
                ::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                // Closing: cancel, and wait for the cancel before the
                // OVERLAPPED goes out of scope.
                ::CancelIoEx(device, &ov);
                ::GetOverlappedResult(device, &ov, &got, TRUE);
                return false;
            }
        }
        if (!::GetOverlappedResult(device, &ov, &got, TRUE)) error = ::GetLastError();
        got = std::min(got, size);
        return true;
    }

    // Thread side (and the port's, when a write finds the line gone): adds
    // bytes (or the end) and makes sure one notification is on its way to
    // the loop.
    static void Hand(const std::shared_ptr<Reader>& self, const String& bytes, bool end,
                     DWORD why) {
        bool notify = false;
        {
            std::lock_guard lock(self->mutex);
            self->data += bytes;
            if (end && !self->failed) {
                self->failed = true;
                self->error = why;
            }
            notify = !self->notifyPending;
            self->notifyPending = true;
        }
        if (!notify) return;
        try {
            self->loop->post([self] {
                if (self->owner != nullptr) self->owner->OnReaderNews();
            });
        } catch (...) {
            // The loop could not be woken: the bytes stay waiting for Input.
            std::lock_guard lock(self->mutex);
            self->notifyPending = false;
        }
    }

    // Loop thread: moves what the thread received to `into`, notes the end
    // of the line, and lets a paused thread go on, since the backlog it
    // paused for has just been taken. `notified`: called by the posted
    // notification, after which the thread may post the next.
    void TakeInto(String& into, SerialPort& port, bool notified) {
        bool resume = false;
        {
            std::lock_guard lock(mutex);
            resume = data.size() >= kMaxWaiting;
            into += data;
            data.clear();
            if (notified) notifyPending = false;
            if (failed && !port.hungUp_) {
                port.hungUp_ = true;
                port.lastSystemError_ = error;
            }
        }
        if (resume) ::SetEvent(resumeEvent);
    }
};

// The write side: accepted bytes go to the driver one write at a time, in
// the order they were accepted, whatever the driver does with several
// writes in flight. A packet with nothing ahead of it is written by the
// loop's thread at once: most writes complete as they start, and a hand-over
// to another thread would cost two thread switches per packet (under Wine,
// a server round trip each). A write the driver finishes later, and what
// queues behind it, are left to a thread of the port, which waits for them.
struct SerialPort::Writes {
    HANDLE device = nullptr;
    HANDLE stopEvent = nullptr;      // manual reset: stop writing now
    HANDLE ioEvent = nullptr;        // the write's OVERLAPPED
    HANDLE progressEvent = nullptr;  // auto reset: a write ended while `waiting`
    std::shared_ptr<Reader> reader;  // a failed write is reported as a hang-up

    std::mutex mutex;
    std::condition_variable work;  // for the thread: bytes queued, a write handed over, a stop
    String queue;                  // accepted, not yet handed to the driver
    String writing;                // the bytes the driver has and has not finished;
    OVERLAPPED ov{};               //   with `ov`, kept until the write has ended
    bool handedOver = false;       // the loop's thread started a write still going
    bool waiting = false;          // Drain or Close waits on progressEvent
    std::size_t lost = 0;          // bytes a failed or cancelled write did not send
    bool stopping = false;
    bool failed = false;
    DWORD failure = 0;
    std::thread thread;

    ~Writes() {
        for (HANDLE h : {stopEvent, ioEvent, progressEvent})
            if (h != nullptr) ::CloseHandle(h);
    }

    std::size_t Unsent() const { return queue.size() + writing.size(); }

    // Starts writing `writing`: 0 when the driver finished it at once,
    // ERROR_IO_PENDING when it goes on, or the failure. (The write resets
    // the event itself, on Windows and under Wine.)
    DWORD Start() {
        ov = OVERLAPPED{};
        ov.hEvent = ioEvent;
        if (::WriteFile(device, writing.data(), static_cast<DWORD>(writing.size()), nullptr, &ov))
            return 0;
        return ::GetLastError();
    }

    // After a write has ended (or failed to start, `error`): counts what it
    // did not send and, on a failure while not stopping, ends the line.
    // `refused`: Output started the write and refuses its packet, which so
    // was never accepted and is not counted lost. False when the line failed.
    bool Finish(DWORD error, bool refused = false) {
        DWORD done = 0;
        // Also waits for a cancelled write: `ov` must outlive it.
        if (error == 0 && !::GetOverlappedResult(device, &ov, &done, TRUE))
            error = ::GetLastError();
        if (error == 0 && done < writing.size()) error = ERROR_WRITE_FAULT;
        bool report = false;
        bool wake = false;
        {
            std::lock_guard lock(mutex);
            wake = waiting;
            if (!refused) lost += writing.size() - std::min<std::size_t>(done, writing.size());
            writing.clear();
            handedOver = false;
            if (error != 0 && !stopping) {
                // The line failed: nothing more goes out.
                failed = true;
                failure = error;
                lost += queue.size();
                queue.clear();
                report = true;
            }
        }
        if (wake) ::SetEvent(progressEvent);
        if (report) Reader::Hand(reader, {}, true, error);
        return error == 0;
    }

    void Run() {
        for (;;) {
            bool started = false;  // by the loop's thread
            {
                std::unique_lock lock(mutex);
                work.wait(lock, [&] {
                    return handedOver || stopping || (!queue.empty() && writing.empty());
                });
                started = handedOver;
                if (!started) {
                    if (stopping) return;  // what is left is counted by Close
                    writing.swap(queue);   // all that waits, in one write (`writing` was empty)
                }
            }
            DWORD error = started ? ERROR_IO_PENDING : Start();
            if (error == ERROR_IO_PENDING) {
                error = 0;
                const HANDLE waits[] = {ioEvent, stopEvent};
                if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
                    ::CancelIoEx(device, &ov);
            }
            if (!Finish(error)) return;
        }
    }

    // Waits until every accepted byte has left, the line failed, `timeout`
    // passed or `cancel` (may be null) is signalled; true when the bytes
    // went. Runs on the loop's thread (Drain, Close): a write that ends
    // there needs no wake-up, one the writer thread ends sets progressEvent.
    bool WaitSent(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout,
                  HANDLE cancel) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (failed) return false;
            if (Unsent() == 0) return true;
            if (cancel != nullptr && ::WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0)
                return false;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            waiting = true;
            lock.unlock();
            const HANDLE waits[] = {progressEvent, cancel};
            ::WaitForMultipleObjects(
                cancel != nullptr ? 2 : 1, waits, FALSE,
                static_cast<DWORD>(std::min<long long>(left.count(), 0x7FFFFFFF)));
            lock.lock();
            waiting = false;
        }
    }
};

SerialPort::SerialPort(EventLoop& loop, PortMap ports) : loop_(loop), ports_(std::move(ports)) {}

SerialPort::~SerialPort() { Close(); }

void SerialPort::Fail(int number, const std::string& what, unsigned long systemError) {
    lastSystemError_ = systemError;
    throw Error(number, what + " (" + detail::SystemErrorText(systemError) + ")");
}

void SerialPort::CommPort(Integer port) {
    if (handle_ != nullptr)
        throw Error(err::kPortOpen, "the port number cannot change while the port is open");
    ports_.Path(port);  // throws when the number names no device
    port_ = port;
}

std::string SerialPort::DevicePath() const {
    try {
        return ports_.Path(port_);
    } catch (const Error&) {
        return "";
    }
}

void SerialPort::Settings(const String& settings) {
    const detail::LineSettings ls = Parse(settings);
    if (handle_ != nullptr) {
        try {
            ApplyLine(handle_, ls);
        } catch (...) {
            // Put the line back as it was, so a refused text changes nothing.
            try {
                ApplyLine(handle_, Parse(settings_));
            } catch (...) {
            }
            throw;
        }
    }
    settings_ = settings;
}

void SerialPort::PortOpen(Boolean open) {
    if (!open.IsTrue()) {
        const bool wasOpen = handle_ != nullptr;
        Close();
        // Closed all the same; the host learns that accepted bytes were lost.
        if (wasOpen && lostAtClose_ > 0)
            throw Error(err::kDeviceIo,
                        "closed with " + std::to_string(lostAtClose_) +
                            " bytes of a packet not sent: the line did not take them within " +
                            std::to_string(kCloseDrain.count()) + " ms, or failed");
        return;
    }
    if (handle_ != nullptr) throw Error(err::kPortAlreadyOpen, "the port is already open");
    const std::string path = ports_.Path(port_);
    const detail::LineSettings ls = Parse(settings_);

    // Windows' serial drivers admit one open at a time, but some virtual
    // port drivers (and Wine's ports) do not: a named lock, held while the
    // port is open, also stops a second open by this library in any process
    // of the session, as the advisory lock does on Linux.
    HANDLE lock = ::CreateMutexW(nullptr, FALSE, LockName(path).c_str());
    if (lock == nullptr) Fail(err::kDeviceIo, "cannot lock " + path, ::GetLastError());
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(lock);
        throw Error(err::kPortAlreadyOpen,
                    path + " is in use by another port of this program or another");
    }
    // Share mode 0: the port is ours alone; a second open, here or in
    // another process, fails with a sharing violation or access denied.
    HANDLE h = ::CreateFileW(detail::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = ::GetLastError();
        ::CloseHandle(lock);
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME ||
            e == ERROR_BAD_PATHNAME)
            Fail(err::kPortInvalid, "cannot open " + path, e);
        if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION)
            Fail(err::kPortAlreadyOpen, path + " is in use", e);
        Fail(err::kDeviceIo, "cannot open " + path, e);
    }
    auto reader = std::make_shared<Reader>();
    std::unique_ptr<Writes> writes;
    try {
        // What makes a serial device is that it has a line to set (virtual
        // port drivers report all kinds of file types).
        DCB probe{};
        probe.DCBlength = sizeof probe;
        if (!::GetCommState(h, &probe))
            Fail(err::kPortInvalid, path + " is not a serial device", ::GetLastError());
        ::SetupComm(h, 4096, 4096);  // a request; a driver may keep its own sizes
        ApplyLine(h, ls);
        // No timeouts at all: a read ends when it has all it asked for,
        // never on a timer. The reader asks for one byte (so an idle line
        // costs it no wake-up) and then for exactly what ClearCommError
        // says the driver holds, which is there already; the same on
        // Windows and under Wine. The other ways fall short: an interval
        // timeout (1, 0, 0) waits for the line to be quiet, up to a timer
        // tick (15.6 ms by default on Windows, about 1.2 ms on a
        // pseudo-terminal under Wine); under Wine (MAXDWORD, MAXDWORD, n)
        // never completed and WaitCommEvent failed (995). No write timeouts: a
        // write completes when the driver sent it all; Output never waits
        // for it, and bounds how many bytes may be on their way.
        COMMTIMEOUTS t{};
        if (!::SetCommTimeouts(h, &t))
            Fail(err::kDeviceIo, "cannot set the timeouts of " + path, ::GetLastError());
        // Bytes that waited from before belong to no packet of this link.
        ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
        DWORD errors = 0;
        ::ClearCommError(h, &errors, nullptr);

        reader->device = h;
        reader->loop = &loop_;
        reader->stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        reader->resumeEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        reader->readEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!reader->stopEvent || !reader->resumeEvent || !reader->readEvent)
            Fail(err::kDeviceIo, "cannot make the reader's events", ::GetLastError());
        reader->owner = this;
        writes = std::make_unique<Writes>();
        writes->device = h;
        writes->reader = reader;
        writes->stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        writes->ioEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        writes->progressEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!writes->stopEvent || !writes->ioEvent || !writes->progressEvent)
            Fail(err::kDeviceIo, "cannot make the writer's events", ::GetLastError());
        reader->thread = std::thread(&Reader::Run, reader);
        try {
            writes->thread = std::thread(&Writes::Run, writes.get());
        } catch (...) {
            ::SetEvent(reader->stopEvent);
            ::CancelIoEx(h, nullptr);
            reader->thread.join();
            throw;
        }
    } catch (...) {
        ::CloseHandle(h);
        ::CloseHandle(lock);
        throw;
    }
    handle_ = h;
    lock_ = lock;
    reader_ = std::move(reader);
    hungUp_ = false;
    hangUpReported_ = false;
    lostAtClose_ = 0;
    received_.clear();
    writes_ = std::move(writes);
}

void SerialPort::Close() noexcept {
    if (handle_ == nullptr) return;
    const HANDLE h = static_cast<HANDLE>(handle_);
    // Accepted bytes get a bounded chance to leave; what is still unsent
    // after that is cancelled and counted as lost.
    Writes& w = *writes_;
    {
        std::unique_lock lock(w.mutex);
        w.WaitSent(lock, kCloseDrain, static_cast<HANDLE>(cancelEvent_));
        w.stopping = true;
    }
    w.work.notify_all();
    ::SetEvent(w.stopEvent);
    if (w.thread.joinable()) w.thread.join();
    const std::size_t lost = w.lost + w.queue.size();
    writes_.reset();

    // Stop the reader: the event ends its wait, the cancel its read.
    ::SetEvent(reader_->stopEvent);
    ::CancelIoEx(h, nullptr);
    if (reader_->thread.joinable()) reader_->thread.join();
    reader_->owner = nullptr;  // a notification still queued does nothing
    reader_.reset();
    ::CloseHandle(h);
    ::CloseHandle(static_cast<HANDLE>(lock_));  // after the device: the next open may come
    handle_ = nullptr;
    lock_ = nullptr;
    lostAtClose_ = lost;
    hungUp_ = false;
    hangUpReported_ = false;
    received_.clear();
}

void SerialPort::OnReaderNews() {
    const std::size_t before = received_.size();
    reader_->TakeInto(received_, *this, true);
    bool notify = received_.size() > before;
    if (hungUp_ && !hangUpReported_) {
        hangUpReported_ = true;  // once; the reader thread has ended
        notify = true;
    }
    if (notify && handler_) {
        Handler h = handler_;  // the handler may replace itself or close the port
        h();
    }
}

String SerialPort::Input() {
    if (handle_ == nullptr) throw Error(err::kPortNotOpen, "the port is not open");
    reader_->TakeInto(received_, *this, false);
    String out;
    out.swap(received_);
    return out;
}

void SerialPort::Output(const String& bytes) {
    if (handle_ == nullptr) throw Error(err::kPortNotOpen, "the port is not open");
    if (hungUp_) Fail(err::kDeviceIo, "the line has hung up", lastSystemError_);
    Writes& w = *writes_;
    std::unique_lock lock(w.mutex);
    if (w.failed) {
        // The writer thread has reported the hang-up through OnComm already.
        hungUp_ = true;
        const DWORD failure = w.failure;
        lock.unlock();
        Fail(err::kDeviceIo, "write failed", failure);
    }
    // Never a wait for the line: a packet is taken whole while the bytes not
    // yet sent (queued, or with the driver) leave room for it, or refused
    // whole at once. The bound keeps a stalled line from piling up memory.
    detail::CheckOutputRoom(w.Unsent(), bytes.size());
    if (bytes.empty()) return;
    if (w.Unsent() > 0) {
        w.queue += bytes;  // behind the write under way
        lock.unlock();
        w.work.notify_all();
        return;
    }
    // Nothing ahead: the write starts here, and the thread only waits for
    // one the driver does not finish at once.
    w.writing = bytes;
    lock.unlock();
    const DWORD error = w.Start();
    if (error == ERROR_IO_PENDING) {
        lock.lock();
        w.handedOver = true;
        lock.unlock();
        w.work.notify_all();
        return;
    }
    // Done at once; the writer thread is not woken for nothing (that would
    // cost it a thread switch per packet). A write that failed as it started
    // sent nothing: the packet is refused, not accepted and lost.
    if (!w.Finish(error, error != 0)) {
        hungUp_ = true;  // reported once, through OnComm, as any failed write
        Fail(err::kDeviceIo, "write failed", w.failure);
    }
}

bool SerialPort::Drain(std::chrono::milliseconds timeout) {
    if (handle_ == nullptr) return true;
    Writes& w = *writes_;
    std::unique_lock lock(w.mutex);
    const bool drained = w.WaitSent(lock, timeout, static_cast<HANDLE>(cancelEvent_));
    if (w.failed) lastSystemError_ = w.failure;
    return drained;
}

}  // namespace vostrel::platform
