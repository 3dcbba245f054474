// One brick on the bridge: its control, on the shared loop, and what the
// bridge publishes about it (online, no answer, offline and why). With
// `reconnect`, a brick that could not be reached, hung up or whose link
// fell is tried again after a back-off (1 s doubling to 30 s) while the
// other bricks go on.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tool/bridge/back_off.hpp"
#include "tool/port_argument.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::tool::bridge {

class WatchedPort;

struct BrickSettings {
    std::string name;  // its level in the topics
    std::string port;  // as given on the command line
    Integer baud = 9600;
    bool reconnect = false;
    Long watchdogMs = 0;  // 0: the control's own interval
};

class BrickLink : public EventSink, public HostSite {
public:
    enum class State { Online, NoAnswer, Offline };

    struct Events {
        /// A mail, its closing NUL removed.
        std::function<void(BrickLink&, int mailbox, std::string text)> mail;
        /// State() or Reason() changed.
        std::function<void(BrickLink&)> changed;
        /// A line for the log (outside data already escaped).
        std::function<void(const std::string&)> log;
    };

    /// Throws std::invalid_argument for a port the tool cannot name.
    BrickLink(platform::EventLoop& loop, BrickSettings settings, Events events);
    ~BrickLink() override;
    BrickLink(const BrickLink&) = delete;
    BrickLink& operator=(const BrickLink&) = delete;

    const std::string& Name() const { return settings_.name; }
    State CurrentState() const { return state_; }
    /// Why it is offline ("" while online or not answering).
    const std::string& Reason() const { return reason_; }

    /// Connects; on failure the state says why (and a retry follows with
    /// `reconnect`).
    void Connect();
    /// Disconnects for good (no retry): the state is offline with `why`.
    void Stop(const std::string& why);

    /// "" when the control took the send; otherwise why not.
    std::string SendText(int mailbox, const std::string& text);
    std::string SendValue(int mailbox, Long value);

    /// The port's waits (the close's grace) end once `fd` is readable.
    void CancelWaitsOn(int fd);

    // The control's events and host site.
    void NewMail(Integer& MailBox) override;
    void NoPing() override;
    bool UserMode() override { return true; }
    void PropertyChanged(std::string_view) override {}
    void UnhandledError(std::exception_ptr error) override;

private:
    void AfterNotification();
    void LineLost();
    void Set(State state, std::string reason);
    void ScheduleReconnect();

    platform::EventLoop& loop_;
    BrickSettings settings_;
    Events events_;
    PortChoice port_;
    WatchedPort* comm_ = nullptr;  // owned by the control
    std::unique_ptr<Vostrel> control_;
    State state_ = State::Offline;
    std::string reason_ = "not connected yet";
    bool stopped_ = false;
    platform::EventLoop::Id lineLost_ = 0;   // the hang-up handled from the loop
    platform::EventLoop::Id answering_ = 0;  // a watchdog interval without NoPing
    platform::EventLoop::Id reconnect_ = 0;
    BackOff backOff_{std::chrono::seconds(1), std::chrono::seconds(30)};
};

/// The state's payload: "online", "no answer" or "offline".
const char* StateText(BrickLink::State state);

}  // namespace vostrel::tool::bridge
