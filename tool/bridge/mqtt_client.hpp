// An MQTT client (libmosquitto) run by the event loop the controls run on:
// its socket is watched for reading, and for writing while libmosquitto has
// something to write; its housekeeping (keep-alive pings, retries) runs on a
// loop timer. No thread of its own and no call that waits: connecting is
// started and finished from the loop. A lost or refused connection is tried
// again after a back-off (1 s doubling to 30 s).
//
// Only the broker's name lookup may take time (the system's resolver, when
// connecting); a name in /etc/hosts or an address does not.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "tool/bridge/back_off.hpp"
#include "tool/bridge/broker_address.hpp"
#include "vostrel/platform.hpp"

struct mosquitto;
struct mosquitto_message;

namespace vostrel::tool::bridge {

struct MqttSettings {
    BrokerAddress address;
    std::string username;                 // "": none
    std::optional<std::string> password;  // with a username
    std::string cafile;                   // mqtts: "" trusts the system's certificates
    std::string willTopic;                // published by the broker if the bridge vanishes
    std::string willPayload;
    int keepAliveSeconds = 30;
};

class MqttClient {
public:
    struct Handlers {
        /// The broker accepted the connection (also after a reconnect).
        std::function<void()> connected;
        /// The connection was refused, lost or could not be made; `why` in
        /// the system's or the broker's words. `retryIn`: when the next try
        /// comes (zero when none comes: the client is stopping).
        std::function<void(const std::string& why, std::chrono::milliseconds retryIn)> lost;
        /// A message on a subscribed topic. Called from the loop.
        std::function<void(std::string_view topic, std::string_view payload)> message;
    };

    /// Throws std::runtime_error when libmosquitto refuses the settings
    /// (a missing CA file, ...). Connecting starts with Start().
    MqttClient(platform::EventLoop& loop, const MqttSettings& settings, Handlers handlers);
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    /// Starts the first connection; a failure is reported through `lost`
    /// (from the loop, never from inside this call) and retried.
    void Start();
    /// True from `connected` until `lost`.
    bool Connected() const { return connected_; }

    /// Publishes at QoS 1. False, with the reason in `why`, when
    /// libmosquitto refuses (not connected, a payload too big, ...).
    bool Publish(const std::string& topic, std::string_view payload, bool retain,
                 std::string* why = nullptr);
    /// Subscribes at QoS 1; false when libmosquitto refuses.
    bool Subscribe(const std::string& pattern);

    /// QoS 1 messages published and not yet acknowledged by the broker.
    std::size_t Unacknowledged() const { return inFlight_.size(); }
    /// Ends the session in order (the broker then drops the last will) and
    /// stops retrying. `Closed()` once the socket is closed (or was lost).
    void Disconnect();
    bool Closed() const;

private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto*, void* self, int mid);

    void Connect();
    void Readable();
    void Writable();
    void Housekeeping();
    // After every call into libmosquitto: watch its socket, and for writing
    // exactly while it wants to write.
    void SyncWatches();
    void DropWatches();
    void Lost(const std::string& why);
    void ScheduleRetry(std::chrono::milliseconds in);

    platform::EventLoop& loop_;
    Handlers handlers_;
    MqttSettings settings_;
    mosquitto* mosq_ = nullptr;
    platform::EventLoop::Id readWatch_ = 0;
    platform::EventLoop::Id writeWatch_ = 0;
    platform::EventLoop::Id housekeeping_ = 0;
    platform::EventLoop::Id retry_ = 0;
    int watchedFd_ = -1;
    bool connected_ = false;
    bool stopping_ = false;
    bool lostReported_ = false;  // since the last try began
    std::string refusal_;        // the broker's reason for refusing the last CONNECT
    std::set<int> inFlight_;
    BackOff backOff_{std::chrono::seconds(1), std::chrono::seconds(30)};
};

}  // namespace vostrel::tool::bridge
