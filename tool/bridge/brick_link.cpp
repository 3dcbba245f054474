// A brick's control on the bridge's loop and the state published for it.
#include "tool/bridge/brick_link.hpp"

#include "tool/bridge/topics.hpp"
#include "tool/bridge/watched_port.hpp"
#include "tool/failure_report.hpp"

namespace vostrel::tool::bridge {

namespace {
// After a NoPing, a watchdog interval and this much more without another
// one means the brick spoke again.
constexpr auto kAnswerMargin = std::chrono::milliseconds(250);

std::string Seconds(std::chrono::milliseconds d) {
    return std::to_string(d.count() / 1000) + "." + std::to_string(d.count() % 1000 / 100) + " s";
}
}  // namespace

const char* StateText(BrickLink::State state) {
    switch (state) {
        case BrickLink::State::Online:
            return "online";
        case BrickLink::State::NoAnswer:
            return "no answer";
        case BrickLink::State::Offline:
            break;
    }
    return "offline";
}

BrickLink::BrickLink(platform::EventLoop& loop, BrickSettings settings, Events events)
    : loop_(loop),
      settings_(std::move(settings)),
      events_(std::move(events)),
      port_(ResolvePort(settings_.port)) {
    auto comm = std::make_unique<WatchedPort>(loop_, port_.map, [this] { AfterNotification(); });
    comm_ = comm.get();
    control_ = std::make_unique<Vostrel>(std::move(comm),
                                         std::make_unique<platform::LoopTimer>(loop_), this);
    control_->UserControl_InitProperties();
    control_->SetEventSink(this);
    if (settings_.watchdogMs > 0) control_->PingTimer().Interval(settings_.watchdogMs);
}

BrickLink::~BrickLink() {
    loop_.CancelTimer(lineLost_);
    loop_.CancelTimer(answering_);
    loop_.CancelTimer(reconnect_);
}

void BrickLink::Connect() {
    loop_.CancelTimer(reconnect_);
    reconnect_ = 0;
    Integer number = port_.number;
    Integer baud = settings_.baud;
    if (control_->ConnectNXT(number, baud) == 0) {
        backOff_.Reset();
        Set(State::Online, "");
        return;
    }
    Set(State::Offline,
        control_->LastError() ? control_->LastError()->what() : control_->ErrorMessage());
    ScheduleReconnect();
}

void BrickLink::Stop(const std::string& why) {
    stopped_ = true;
    loop_.CancelTimer(lineLost_);
    loop_.CancelTimer(answering_);
    loop_.CancelTimer(reconnect_);
    lineLost_ = answering_ = reconnect_ = 0;
    if (control_->Comm1().PortOpen().IsTrue() && control_->DisconnectNXT() != 0)
        events_.log(Name() + ": " + FailureLine(*control_));
    Set(State::Offline, why);
}

std::string BrickLink::SendText(int mailbox, const std::string& text) {
    if (state_ == State::Offline) return "the brick is not connected (" + reason_ + ")";
    Integer box = static_cast<Integer>(mailbox);
    String mail = text;
    return control_->SendText(box, mail) == 0 ? "" : FailureLine(*control_);
}

std::string BrickLink::SendValue(int mailbox, Long value) {
    if (state_ == State::Offline) return "the brick is not connected (" + reason_ + ")";
    Integer box = static_cast<Integer>(mailbox);
    return control_->SendValue(box, value) == 0 ? "" : FailureLine(*control_);
}

void BrickLink::CancelWaitsOn(int fd) { comm_->CancelWaitsOn(fd); }

void BrickLink::NewMail(Integer& MailBox) {
    Integer box = MailBox;
    std::string text = control_->ReadText(box);
    if (!text.empty() && text.back() == '\0') text.pop_back();
    if (state_ == State::NoAnswer) {
        loop_.CancelTimer(answering_);
        answering_ = 0;
        Set(State::Online, "");
    }
    if (events_.mail) events_.mail(*this, MailBox, std::move(text));
}

void BrickLink::NoPing() {
    if (state_ == State::Offline) return;
    Set(State::NoAnswer, "");
    // The watchdog says so again every interval while the silence lasts;
    // an interval without it means the brick spoke again.
    loop_.CancelTimer(answering_);
    const auto interval = std::chrono::milliseconds(control_->PingTimer().Interval());
    answering_ = loop_.StartTimer(loop_.Now() + interval + kAnswerMargin, {}, [this] {
        answering_ = 0;
        if (state_ == State::NoAnswer) Set(State::Online, "");
    });
}

void BrickLink::UnhandledError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        events_.log(Name() + ": " + e.what());
    } catch (...) {
        events_.log(Name() + ": an unknown failure");
    }
}

void BrickLink::AfterNotification() {
    if (lineLost_ != 0 || stopped_ || !comm_->HungUp()) return;
    // Closed from the loop, not from inside the port's own notification.
    lineLost_ = loop_.StartTimer(loop_.Now(), {}, [this] {
        lineLost_ = 0;
        LineLost();
    });
}

void BrickLink::LineLost() {
    std::string why = comm_->Failure();
    if (why.empty()) why = "the line hung up";
    loop_.CancelTimer(answering_);
    answering_ = 0;
    control_->DisconnectNXT();  // the line is gone: what it held is lost either way
    Set(State::Offline, why);
    ScheduleReconnect();
}

void BrickLink::Set(State state, std::string reason) {
    if (state == state_ && reason == reason_) return;
    state_ = state;
    reason_ = std::move(reason);
    std::string line = Name() + ": " + StateText(state_);
    if (!reason_.empty()) line += ": " + Printable(reason_, 200);
    events_.log(line);
    if (events_.changed) events_.changed(*this);
}

void BrickLink::ScheduleReconnect() {
    if (!settings_.reconnect || stopped_) return;
    const auto wait = backOff_.Next();
    events_.log(Name() + ": trying again in " + Seconds(wait));
    loop_.CancelTimer(reconnect_);
    reconnect_ = loop_.StartTimer(loop_.Now() + wait, {}, [this] {
        reconnect_ = 0;
        Connect();
    });
}

}  // namespace vostrel::tool::bridge
