// libmosquitto driven by the loop: mosquitto_loop_read / _write when its
// socket is ready, mosquitto_loop_misc on a one-second timer.
#include "tool/bridge/mqtt_client.hpp"

#include <mosquitto.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vostrel::tool::bridge {

namespace {

constexpr auto kHousekeeping = std::chrono::seconds(1);

// libmosquitto wants one initialisation per process before any client.
void InitialiseOnce() {
    static const int done = [] {
        mosquitto_lib_init();
        return 0;
    }();
    (void)done;
}

std::string Reason(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    std::string text = mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();  // it ends a sentence of ours
    return text;
}

// A socket whose connection was refused or reset: the system's reason, or
// "" while it is fine. libmosquitto does not notice it during a TLS
// handshake, and the loop would be woken for it again and again.
std::string SocketFailure(int fd) {
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0)
        return std::strerror(error);
    pollfd p{fd, 0, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)))
        return "the broker closed the connection";
    return {};
}

void Check(int rc, const std::string& what) {
    if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(what + ": " + Reason(rc));
}

}  // namespace

MqttClient::MqttClient(platform::EventLoop& loop, const MqttSettings& settings, Handlers handlers)
    : loop_(loop), handlers_(std::move(handlers)), settings_(settings) {
    InitialiseOnce();
    // A new client id each run and a clean session: a send meant for a
    // brick is not delivered long after it was made.
    mosq_ = mosquitto_new(nullptr, true, this);
    if (!mosq_)
        throw std::runtime_error(std::string("cannot make an MQTT client: ") +
                                 std::strerror(errno));
    mosquitto_connect_callback_set(mosq_, OnConnect);
    mosquitto_disconnect_callback_set(mosq_, OnDisconnect);
    mosquitto_message_callback_set(mosq_, OnMessage);
    mosquitto_publish_callback_set(mosq_, OnPublish);
    // Mails are small and wanted at once.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    if (!settings_.username.empty())
        Check(mosquitto_username_pw_set(mosq_, settings_.username.c_str(),
                                        settings_.password ? settings_.password->c_str() : nullptr),
              "cannot set the MQTT user");
    if (settings_.address.tls) {
        if (settings_.cafile.empty()) {
            Check(mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1),
                  "cannot use the system's certificates");
        } else {
            Check(mosquitto_tls_set(mosq_, settings_.cafile.c_str(), nullptr, nullptr, nullptr,
                                    nullptr),
                  "cannot use the CA file " + settings_.cafile);
        }
    }
    if (!settings_.willTopic.empty())
        Check(mosquitto_will_set(mosq_, settings_.willTopic.c_str(),
                                 static_cast<int>(settings_.willPayload.size()),
                                 settings_.willPayload.data(), 1, true),
              "cannot set the last will");
    housekeeping_ =
        loop_.StartTimer(loop_.Now() + kHousekeeping, kHousekeeping, [this] { Housekeeping(); });
}

MqttClient::~MqttClient() {
    loop_.CancelTimer(housekeeping_);
    loop_.CancelTimer(retry_);
    DropWatches();
    mosquitto_destroy(mosq_);
}

void MqttClient::Start() { Connect(); }

void MqttClient::Connect() {
    lostReported_ = false;
    refusal_.clear();
    // The socket is made anew: whatever was watched is gone, even if the
    // new one gets the same number.
    DropWatches();
    const auto& a = settings_.address;
    // Every try gives the address again: after a failed TLS handshake
    // libmosquitto's reconnect refuses ("invalid function arguments").
    const int rc =
        mosquitto_connect_async(mosq_, a.host.c_str(), a.port, settings_.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        const std::string why = Reason(rc);
        // Said from the loop, not from inside Start.
        loop_.CancelTimer(retry_);
        retry_ = loop_.StartTimer(loop_.Now(), {}, [this, why] {
            retry_ = 0;
            Lost(why);
        });
        return;
    }
    SyncWatches();
}

void MqttClient::SyncWatches() {
    // After a loss nothing is watched until the next try: libmosquitto may
    // still hold the failed socket, which would wake the loop for ever.
    const int fd = lostReported_ ? -1 : mosquitto_socket(mosq_);
    if (fd != watchedFd_) {
        DropWatches();
        if (fd < 0) return;
        watchedFd_ = fd;
        readWatch_ = loop_.Watch(fd, [this] { Readable(); });
    }
    if (fd < 0) return;
    const bool want = mosquitto_want_write(mosq_);
    if (want && writeWatch_ == 0) {
        writeWatch_ = loop_.WatchWritable(fd, [this] { Writable(); });
    } else if (!want && writeWatch_ != 0) {
        loop_.Unwatch(writeWatch_);
        writeWatch_ = 0;
    }
}

void MqttClient::DropWatches() {
    loop_.Unwatch(readWatch_);
    loop_.Unwatch(writeWatch_);
    readWatch_ = writeWatch_ = 0;
    watchedFd_ = -1;
}

void MqttClient::Readable() {
    const int fd = watchedFd_;
    const int rc = mosquitto_loop_read(mosq_, 1);
    if (rc != MOSQ_ERR_SUCCESS && !lostReported_ && !stopping_) {
        Lost(Reason(rc));
    } else if (!connected_ && !lostReported_ && !stopping_ && mosquitto_socket(mosq_) == fd) {
        // Still connecting: a refused or reset connection libmosquitto
        // did not see.
        const std::string why = SocketFailure(fd);
        if (!why.empty()) Lost(why);
    }
    SyncWatches();
}

void MqttClient::Writable() {
    const int rc = mosquitto_loop_write(mosq_, 1);
    if (rc != MOSQ_ERR_SUCCESS && !lostReported_ && !stopping_) Lost(Reason(rc));
    SyncWatches();
}

void MqttClient::Housekeeping() {
    if (lostReported_ || mosquitto_socket(mosq_) < 0) return;
    mosquitto_loop_misc(mosq_);
    // The keep-alive went unanswered: libmosquitto closed the socket.
    if (mosquitto_socket(mosq_) < 0 && !lostReported_ && !stopping_)
        Lost("the broker did not answer the keep-alive");
    SyncWatches();
}

void MqttClient::Lost(const std::string& why) {
    if (lostReported_) return;
    lostReported_ = true;
    connected_ = false;
    DropWatches();
    const auto wait = stopping_ ? std::chrono::milliseconds(0) : backOff_.Next();
    if (!stopping_) ScheduleRetry(wait);
    if (handlers_.lost) handlers_.lost(why, wait);
}

void MqttClient::ScheduleRetry(std::chrono::milliseconds in) {
    loop_.CancelTimer(retry_);
    retry_ = loop_.StartTimer(loop_.Now() + in, {}, [this] {
        retry_ = 0;
        Connect();
    });
}

bool MqttClient::Publish(const std::string& topic, std::string_view payload, bool retain,
                         std::string* why) {
    int mid = 0;
    const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (why) *why = Reason(rc);
        return false;
    }
    inFlight_.insert(mid);
    SyncWatches();
    return true;
}

bool MqttClient::Subscribe(const std::string& pattern) {
    const int rc = mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), 1);
    SyncWatches();
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttClient::Disconnect() {
    stopping_ = true;
    loop_.CancelTimer(retry_);
    retry_ = 0;
    if (mosquitto_socket(mosq_) >= 0) mosquitto_disconnect(mosq_);
    SyncWatches();
}

bool MqttClient::Closed() const { return lostReported_ || mosquitto_socket(mosq_) < 0; }

void MqttClient::OnConnect(mosquitto*, void* self, int rc) {
    auto& c = *static_cast<MqttClient*>(self);
    if (rc != 0) {
        // The broker said no (a bad password, not authorised, ...);
        // libmosquitto then closes, and the disconnect says this.
        c.refusal_ =
            std::string("the broker refused the connection: ") + mosquitto_connack_string(rc);
        return;
    }
    c.connected_ = true;
    c.backOff_.Reset();
    // Messages published before the loss and never acknowledged are sent
    // again by libmosquitto, ahead of anything published from here.
    if (c.handlers_.connected) c.handlers_.connected();
}

void MqttClient::OnDisconnect(mosquitto*, void* self, int rc) {
    auto& c = *static_cast<MqttClient*>(self);
    c.connected_ = false;
    if (c.stopping_) {
        c.DropWatches();
        return;
    }
    c.Lost(!c.refusal_.empty() ? c.refusal_ : Reason(rc));
}

void MqttClient::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto& c = *static_cast<MqttClient*>(self);
    if (!c.handlers_.message || !m || !m->topic) return;
    c.handlers_.message(m->topic, std::string_view(static_cast<const char*>(m->payload),
                                                   m->payload ? m->payloadlen : 0));
}

void MqttClient::OnPublish(mosquitto*, void* self, int mid) {
    static_cast<MqttClient*>(self)->inFlight_.erase(mid);
}

}  // namespace vostrel::tool::bridge
