// The control object: creation, property accessors and event raising.
#include "vostrel/vostrel.hpp"

namespace vostrel {

namespace {
RunModeHost& DefaultHost() {
    static RunModeHost host;
    return host;
}
}  // namespace

Vostrel::Vostrel(std::unique_ptr<Comm> comm1, std::unique_ptr<Timer> pingTimer, HostSite* host)
    : comm1_(std::move(comm1)),
      pingTimer_(std::move(pingTimer)),
      host_(host ? host : &DefaultHost()) {
    if (!comm1_ || !pingTimer_) throw Error(err::kInvalidArgument, "Vostrel needs both components");
    // The timer's design-time state: the watchdog period, stopped until ConnectNXT.
    pingTimer_->Interval(kWatchdogInterval);
    pingTimer_->Enabled(kFalse);
    comm1_->OnComm([this] { Comm1_OnComm(); });
    pingTimer_->OnTimer([this] { PingTimer_Timer(); });
    // Creation step: every slot says it has received nothing yet.
    for (int i = 0; i <= 9; ++i) Mailbox(i) = "-1";
}

Vostrel::~Vostrel() {
    // The control does nothing of its own at destruction (the port is not
    // closed by it); only make sure no component calls back into it.
    comm1_->OnComm(nullptr);
    pingTimer_->OnTimer(nullptr);
}

void Vostrel::Connection(Boolean New_Connection) {
    if (!host_->UserMode()) throw Error(err::kSetNotPermitted);
    connection_ = New_Connection;
    host_->PropertyChanged("Connection");
}

void Vostrel::ErrorMessage(String New_ErrorMessage) {
    if (!host_->UserMode()) throw Error(err::kSetNotPermitted);
    errorMessage_ = std::move(New_ErrorMessage);
    host_->PropertyChanged("ErrorMessage");
}

void Vostrel::PingNXT(Boolean New_PingNXT) {
    pingNXT_ = New_PingNXT;
    host_->PropertyChanged("PingNXT");
}

String& Vostrel::Mailbox(int index) {
    if (index < 0 || index >= kMailboxCount) throw Error(err::kSubscriptOutOfRange);
    return mailboxes_[static_cast<std::size_t>(index)];
}

void Vostrel::RaiseNoPing() {
    if (sink_) sink_->NoPing();
}

void Vostrel::RaiseNewMail(Integer MailBox) {
    // The handler gets its own copy: the control does not read it back.
    if (sink_) sink_->NewMail(MailBox);
}

void Vostrel::RememberFailure(std::exception_ptr error) noexcept {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const Error& e) {
        lastError_ = e;
    } catch (const std::exception& e) {
        lastError_ = Error(err::kHostFailure, e.what());
    } catch (...) {
        lastError_ = Error(err::kHostFailure, "the host failed without a reason");
    }
}

void Vostrel::ReportUnhandled(std::exception_ptr error) noexcept {
    try {
        host_->UnhandledError(std::move(error));
    } catch (...) {
        // Nothing may escape into the component's event delivery.
    }
}

}  // namespace vostrel
