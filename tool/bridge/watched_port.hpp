// The control's port with one more listener: after the control has handled
// a notification, the bridge hears of it too, so a line that hung up or a
// Bluetooth link that fell is seen at once rather than at the next silent
// watchdog tick.
#pragma once

#include <functional>
#include <string>

#include "vostrel/platform.hpp"

namespace vostrel::tool::bridge {

class WatchedPort : public Comm {
public:
    /// `afterNotification` runs after the control's handler of every
    /// notification, on the loop's thread; it must not close the port
    /// itself (it may post work that does).
    WatchedPort(platform::EventLoop& loop, platform::PortMap ports,
                std::function<void()> afterNotification)
        : port_(loop, std::move(ports)), after_(std::move(afterNotification)) {}

    void CommPort(Integer port) override { port_.CommPort(port); }
    Integer CommPort() const override { return port_.CommPort(); }
    void Settings(const String& settings) override { port_.Settings(settings); }
    String Settings() const override { return port_.Settings(); }
    void PortOpen(Boolean open) override { port_.PortOpen(open); }
    Boolean PortOpen() const override { return port_.PortOpen(); }
    void Output(const String& bytes) override { port_.Output(bytes); }
    String Input() override { return port_.Input(); }
    void OnComm(Handler handler) override {
        port_.OnComm([this, handler = std::move(handler)] {
            if (handler) handler();
            if (after_) after_();
        });
    }

    /// True once the open line hung up or its link failed.
    bool HungUp() { return port_.IsBrick() ? port_.Bluetooth().HungUp() : port_.Serial().HungUp(); }
    /// Why, in the system's words, where the port knows.
    std::string Failure() const { return port_.LinkFailure(); }
    void CancelWaitsOn(int fd) { port_.CancelWaitsOn(fd); }

private:
    platform::Port port_;
    std::function<void()> after_;
};

}  // namespace vostrel::tool::bridge
