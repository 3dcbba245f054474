// What the fault tests share: a control on the default loop with its real
// serial port and timer, a recording host and sink, port numbers mapped to
// whatever device a test names, and a way to run the loop until something
// has happened.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "testsupport/recording_host.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::faults {

using namespace std::chrono_literals;

class FaultTest : public ::testing::Test {
protected:
    /// Makes the control, with `ports` naming its devices. The watchdog is
    /// shortened to `watchdog` so a silence shows within a test.
    void MakeControl(platform::PortMap ports, std::chrono::milliseconds watchdog = 10000ms) {
        nxt = platform::MakeControl(loop, &host, std::move(ports));
        nxt->SetEventSink(&sink);
        nxt->PingTimer().Interval(static_cast<Long>(watchdog.count()));
    }

    /// Runs the loop in short slices until `done` holds or `limit` has
    /// passed (a guard against a hang, not a speed target).
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            loop.run_for(5ms);
        }
        return true;
    }

    std::size_t Mails() const { return sink.Count(testing::RecordingSink::Event::NewMail); }
    std::size_t NoPings() const { return sink.Count(testing::RecordingSink::Event::NoPing); }

    /// Takes every text the control files, in order, as it is announced.
    void CollectMail() {
        sink.onNewMail = [this](Integer& box) { mail.push_back(std::to_string(box) + ":" + nxt->ReadText(box)); };
    }
    static std::string Filed(int box, const std::string& text) {
        return std::to_string(box) + ":" + text + std::string(1, '\0');
    }

    /// SendText with a fresh mailbox variable (it is written back).
    Integer Send(Integer box, const std::string& text) { return nxt->SendText(box, text); }

    platform::DefaultLoop loop;
    testing::RecordingHost host;
    testing::RecordingSink sink;
    std::unique_ptr<Vostrel> nxt;
    std::vector<std::string> mail;
};

}  // namespace vostrel::faults
