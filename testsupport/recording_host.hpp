// A host site and an event sink that record what the control tells them,
// with hooks so a test can act from inside a handler.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "vostrel/vostrel.hpp"

namespace vostrel::testing {

class RecordingHost : public HostSite {
public:
    bool userMode = true;
    std::vector<std::string> changes;  // property names, in order
    std::vector<std::string> errors;   // what() of each unhandled error
    bool failUserMode = false;
    bool failNotification = false;

    bool UserMode() override {
        if (failUserMode) throw Error(err::kHostFailure, "run-mode flag unavailable");
        return userMode;
    }
    void PropertyChanged(std::string_view name) override {
        changes.emplace_back(name);
        if (failNotification) throw Error(err::kHostFailure, "notification refused");
    }
    void UnhandledError(std::exception_ptr error) override;
};

class RecordingSink : public EventSink {
public:
    struct Event {
        enum Kind { NoPing, NewMail } kind;
        Integer mailBox;
        friend bool operator==(const Event&, const Event&) = default;
    };
    std::vector<Event> events;
    std::function<void()> onNoPing;
    std::function<void(Integer&)> onNewMail;

    void NoPing() override {
        events.push_back({Event::NoPing, -1});
        if (onNoPing) onNoPing();
    }
    void NewMail(Integer& MailBox) override {
        events.push_back({Event::NewMail, MailBox});
        if (onNewMail) onNewMail(MailBox);
    }
    std::size_t Count(Event::Kind kind) const;
};

}  // namespace vostrel::testing
