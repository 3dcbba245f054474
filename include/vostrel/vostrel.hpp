// Vostrel: exchange mailbox messages with a LEGO Mindstorms NXT brick over a
// serial link. The one header a host includes.
//
// A host creates one `Vostrel` with its two components (a serial port and a
// timer: real ones from the platform layer, or in-memory ones in tests),
// calls `ConnectNXT`, sends numbers and texts into the brick's ten mailboxes,
// and is told through its `EventSink` when a text arrives (`NewMail`) or the
// brick has been silent for 10 seconds (`NoPing`).
//
// Error rules
// -----------
// * `SendValue`, `SendText`, `ConnectNXT` and `DisconnectNXT` report failure
//   through their result (0 = done, 1 = refused or failed) and the status
//   text `ErrorMessage()`; nothing they try is retried. Only a failure while
//   reporting the failure itself (for instance the design-mode refusal of
//   the status setter, error 387) is thrown, as `vostrel::Error`.
// * A failed call holds nothing: a `ConnectNXT` that fails, by its result or
//   by such an error, closes again a port it opened itself (the line's
//   settings put back, the watchdog stopped); a port that was open before
//   the call stays open. Whenever the port is in fact closed after
//   `DisconnectNXT`, `Connection` is False and the watchdog stopped, even
//   when the result is 1 (a close that lost queued bytes).
// * The status text says only which method failed ("Connection error").
//   Why it failed is kept in `LastError()`: the error the method's trap
//   caught, with its number and a description that carries the system's
//   reason ("cannot open /dev/rfcomm0: No such file or directory",
//   "/dev/pts/3 is in use by process 4711 (cat)", ...).
// * `ReadText` throws `Error` with number 6 (overflow) for mailbox -32768.
// * The setters of `Connection` and `ErrorMessage` throw `Error` 387 while
//   the host's run-mode flag is False; `PingNXT` can be set at any time.
// * An exception thrown by a host's event handler, or any failure while a
//   notification from the components is handled, never escapes into the
//   component's event delivery: it is passed to `HostSite::UnhandledError`.
//
// Threading rules
// ---------------
// A control and its components belong to one thread, the host's. Members,
// component notifications and timer ticks run there one at a time. Event
// handlers run synchronously and may call any member of the control (also
// `DisconnectNXT`, `ConnectNXT`, `ReadText`, the senders). A `NewMail`
// handler that ends the link (`DisconnectNXT`, perhaps followed by a new
// `ConnectNXT`), or after which the port is found closed, ends the read it
// came from: the packets after it in that read are dropped, never filed or
// raised, and none of their bytes reaches the next link. Nothing is locked;
// calling a control from two threads at once is undefined.
#pragma once

#include <array>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "vostrel/components.hpp"
#include "vostrel/property_bag.hpp"
#include "vostrel/type_library.hpp"
#include "vostrel/types.hpp"
#include "vostrel/variant.hpp"

namespace vostrel {

/// An argument passed by reference, as the control's methods take theirs.
///
/// Bound to a variable of exactly the parameter's type, the method's
/// write-back lands in that variable. Bound to anything else that converts
/// (a literal, an expression, a const value), the method works on a
/// temporary copy, as a by-reference call with a temporary does. A
/// non-const variable of another type is refused at compile time, since its
/// write-back would be lost silently.
template <class T>
class ByRef {
public:
    ByRef(T& variable) : ptr_(&variable) {}  // NOLINT: implicit by design
    template <class U>
    requires(!std::is_same_v<std::remove_cvref_t<U>, ByRef> && std::is_constructible_v<T, U&&> &&
             (!std::is_lvalue_reference_v<U> || std::is_const_v<std::remove_reference_t<U>>))
        ByRef(U&& value)
        : temp_(std::forward<U>(value)), ptr_(&temp_) {}  // NOLINT
    ByRef(const ByRef&) = delete;
    ByRef& operator=(const ByRef&) = delete;

    T& get() const { return *ptr_; }

private:
    T temp_{};
    T* ptr_;
};

/// What the control needs of its host where no component container exists.
class HostSite {
public:
    virtual ~HostSite() = default;
    /// The host's run-mode flag: true while the host runs the control for its
    /// user, false while the host is being designed. May throw; the throw
    /// leaves the guarded setter that asked.
    virtual bool UserMode() = 0;
    /// The property `name` ("Connection", "ErrorMessage" or "PingNXT")
    /// changed through its setter. May throw; the new value stays stored.
    virtual void PropertyChanged(std::string_view name) = 0;
    /// A failure that happened while a component notification or timer tick
    /// was handled (a failed read, a failed keep-alive echo, an exception from
    /// an event handler). Default: ignored.
    virtual void UnhandledError(std::exception_ptr /*error*/) {}
};

/// A host that always runs the control for its user and ignores change
/// notifications: what a control gets when it is given no host.
class RunModeHost : public HostSite {
public:
    bool UserMode() override { return true; }
    void PropertyChanged(std::string_view) override {}
};

/// Receives the control's events, synchronously, on the host's thread.
class EventSink {
public:
    virtual ~EventSink() = default;
    /// The brick has sent nothing for one watchdog interval (10 s) while
    /// PingNXT is True. Repeats every interval while the silence lasts.
    virtual void NoPing() {}
    /// A text from the brick has just been stored for mailbox `MailBox`
    /// (0 to 9); take it with ReadText. Changing `MailBox` has no effect.
    virtual void NewMail(Integer& /*MailBox*/) {}
};

/// The control. Not copyable or movable: its components call back into it.
class Vostrel {
public:
    static constexpr Long kWatchdogInterval = 10000;  // ms
    static constexpr int kMailboxCount = 10;
    static constexpr std::size_t kReceiveBufferSize = 1024;  // bytes

    /// Creates the control, owning both components for its whole life. Sets
    /// the timer's design-time state (Interval 10000 ms, disabled) and fills
    /// every mailbox slot with "-1". `host` (not owned, must outlive the
    /// control) answers the run-mode flag; nullptr means run mode always.
    /// The host then calls UserControl_InitProperties (new instance) or
    /// UserControl_ReadProperties (restored instance).
    Vostrel(std::unique_ptr<Comm> comm1, std::unique_ptr<Timer> pingTimer,
            HostSite* host = nullptr);
    ~Vostrel();
    Vostrel(const Vostrel&) = delete;
    Vostrel& operator=(const Vostrel&) = delete;

    /// Sets the receiver of NoPing and NewMail (not owned; nullptr: none).
    void SetEventSink(EventSink* sink) { sink_ = sink; }

    // --- properties ---------------------------------------------------------
    /// Whether the link is believed up. Nothing in the control reads it.
    Boolean Connection() const { return connection_; }
    /// Stores the value as passed; run mode only (else Error 387).
    void Connection(Boolean New_Connection);
    /// Status text of the last operation that reported one.
    String ErrorMessage() const { return errorMessage_; }
    /// Stores the text; run mode only (else Error 387).
    void ErrorMessage(String New_ErrorMessage);
    /// Whether a watchdog tick raises NoPing (only exactly True counts).
    Boolean PingNXT() const { return pingNXT_; }
    /// Stores the value as passed, at any time.
    void PingNXT(Boolean New_PingNXT);

    // --- methods ------------------------------------------------------------
    /// Sends the 32-bit number |Value| to mailbox MailBox (0 to 9; negative
    /// refused). Writes |Value| back once the mailbox passed. Returns 0 or 1
    /// with "No errores" / "Error parameters for send".
    Integer SendValue(ByRef<Integer> MailBox, ByRef<Long> Value);
    /// Sends the text Mail (0 to 58 bytes) to mailbox |MailBox| (-9 to 9).
    /// Writes |MailBox| back once the length passed. Returns 0 or 1 with
    /// "No errores" / "Error parameters for send".
    Integer SendText(ByRef<Integer> MailBox, ByRef<String> Mail);
    /// Opens port PortNumber at BoudRate bits/s (no parity, 8 data bits,
    /// 1 stop bit), makes the brick beep and arms the watchdog. Returns 0 or 1
    /// with "No errores" / "Connection error". On an open port it fails and
    /// leaves the link open. A failure after this call opened the port closes
    /// it again and stops the watchdog.
    Integer ConnectNXT(ByRef<Integer> PortNumber, ByRef<Integer> BoudRate);
    /// Closes the port if open and stops the watchdog. Returns 0 or 1 with
    /// "No errores" / "Comm error". A close that lost queued bytes returns 1,
    /// yet the port is closed, Connection False and the watchdog stopped.
    Integer DisconnectNXT();
    /// Returns the text stored for mailbox |MsgBox| and empties the slot
    /// ("-1" for a never-filled slot, "" once taken), or "Error!" for 10 and
    /// above. Writes |MsgBox| back. Throws Error 6 for -32768.
    String ReadText(ByRef<Integer> MsgBox);

    /// Why the last call of SendValue, SendText, ConnectNXT or DisconnectNXT
    /// failed: the error its trap caught (number as in vostrel::err, what()
    /// with the component's or the system's reason). Empty when that call
    /// succeeded, or before any such call. A failure that is not a
    /// vostrel::Error (one thrown by the host's site) has number
    /// err::kHostFailure. Watchdog ticks and received data leave it as it is.
    const std::optional<Error>& LastError() const { return lastError_; }

    // --- late binding (defined in dispatch/; see vostrel/dispatch.hpp) -------
    /// Calls the member of _Vostrel with dispatch id `dispid` as `kind`, with
    /// `args` in parameter order (first parameter first). Returns the
    /// member's result, or an empty Variant for a put or no result. Errors:
    /// 438 unknown id or kind, 450 wrong argument count, 13/6 an argument
    /// that does not fit its parameter; then nothing runs or changes.
    /// Otherwise exactly as the direct call, write-backs included.
    Variant Invoke(DispId dispid, InvokeKind kind, std::span<Argument> args = {});
    // --- end of late binding --------------------------------------------------

    // --- persistence ----------------------------------------------------------
    /// New instance: Connection False, ErrorMessage "", PingNXT True. No
    /// guard, no notification.
    void UserControl_InitProperties();
    /// Restores the three properties from `bag` (defaults for missing keys).
    /// No guard, no notification. A conversion or bag error is thrown; the
    /// entries read before it keep their new values.
    void UserControl_ReadProperties(PropertyBag& bag);
    /// Saves the three properties to `bag`, in the order Connection,
    /// ErrorMessage, PingNXT. A bag error is thrown.
    void UserControl_WriteProperties(PropertyBag& bag);

    /// The components, for the platform layer and for tests.
    Comm& Comm1() { return *comm1_; }
    Timer& PingTimer() { return *pingTimer_; }

private:
    // Outgoing telegrams.
    void SendPacket(const String& Packet);
    void PlayTone(Integer& Frequency, Integer& Duration);
    // Receive path.
    void Comm1_OnComm();
    void HandlePacket(std::string_view packet);
    // Whether the link a read came from (link_ when it was read) is still open.
    bool StillLink(std::uint64_t link) noexcept;
    void StoreMail(std::string_view Packet);
    // Watchdog.
    void PingTimer_Timer();
    // Link: undoing a failed connect's open; the watchdog of a closed port.
    void CloseFailedLink() noexcept;
    bool StopWatchdogIfClosed() noexcept;

    String& Mailbox(int index);
    void RaiseNoPing();
    void RaiseNewMail(Integer MailBox);
    void ReportUnhandled(std::exception_ptr error) noexcept;
    // Keeps what a method's trap caught, for LastError.
    void RememberFailure(std::exception_ptr error) noexcept;

    std::unique_ptr<Comm> comm1_;
    std::unique_ptr<Timer> pingTimer_;
    HostSite* host_;
    EventSink* sink_ = nullptr;

    Boolean connection_ = kFalse;
    String errorMessage_;
    Boolean pingNXT_ = kFalse;
    std::array<String, kMailboxCount> mailboxes_;

    // Bytes of a packet whose rest has not arrived yet.
    String pending_;
    // Counts the links this control opened and closed: a read whose link
    // is gone (closed, or closed and reopened, inside one of its handlers)
    // is not handled any further.
    std::uint64_t link_ = 0;
    std::optional<Error> lastError_;
};

}  // namespace vostrel
