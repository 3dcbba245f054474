// The bridge: bricks' controls and one MQTT client on one loop, and the
// topics between them (see topics.hpp). Mails that come while the broker
// cannot be reached wait in a bounded queue and follow in order once it
// can.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tool/bridge/brick_link.hpp"
#include "tool/bridge/mail_queue.hpp"
#include "tool/bridge/mqtt_client.hpp"
#include "tool/bridge/topics.hpp"

namespace vostrel::tool::bridge {

struct BridgeSettings {
    MqttSettings mqtt;  // its last will is set by the bridge
    std::string prefix = "vostrel";
    std::size_t queue = 1000;  // mails held while the broker is away
    std::vector<BrickSettings> bricks;
};

class Bridge {
public:
    /// `log` takes each line for the log, outside data already escaped.
    /// Throws std::invalid_argument for a port the tool cannot name,
    /// std::runtime_error when the MQTT client cannot be set up.
    Bridge(platform::DefaultLoop& loop, BridgeSettings settings,
           std::function<void(const std::string&)> log);
    ~Bridge();

    /// Connects the bricks and starts connecting to the broker.
    void Start();
    /// Every brick disconnected and its state published, the bridge's own
    /// state published as offline, the session ended in order. Runs the loop
    /// until that is done, at most `grace`.
    void Stop(std::chrono::milliseconds grace);
    /// The bricks' ports end their waits once `fd` is readable.
    void CancelWaitsOn(int fd);

private:
    void Connected();
    void Lost(const std::string& why, std::chrono::milliseconds retryIn);
    void Message(std::string_view topic, std::string_view payload);
    void Mail(std::size_t brick, int mailbox, std::string text);
    void PublishState(const BrickLink& brick);
    void Publish(const std::string& topic, std::string_view payload, bool retain);
    void Refuse(const std::string& errorTopic, std::string_view topic, const std::string& reason,
                std::string_view payload);
    void RunFor(std::chrono::steady_clock::time_point until, const std::function<bool()>& done);

    platform::DefaultLoop& loop_;
    BridgeSettings settings_;
    std::function<void(const std::string&)> log_;
    Topics topics_;
    MailQueue queue_;
    std::vector<std::unique_ptr<BrickLink>> bricks_;
    std::unique_ptr<MqttClient> client_;
};

}  // namespace vostrel::tool::bridge
