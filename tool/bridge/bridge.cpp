// Between the bricks and the broker.
#include "tool/bridge/bridge.hpp"

namespace vostrel::tool::bridge {

Bridge::Bridge(platform::DefaultLoop& loop, BridgeSettings settings,
               std::function<void(const std::string&)> log)
    : loop_(loop),
      settings_(std::move(settings)),
      log_(std::move(log)),
      topics_(settings_.prefix),
      queue_(settings_.queue) {
    for (std::size_t i = 0; i < settings_.bricks.size(); ++i) {
        BrickLink::Events events;
        events.mail = [this, i](BrickLink&, int mailbox, std::string text) {
            Mail(i, mailbox, std::move(text));
        };
        events.changed = [this](BrickLink& b) { PublishState(b); };
        events.log = log_;
        bricks_.push_back(std::make_unique<BrickLink>(loop_, settings_.bricks[i], events));
    }
    settings_.mqtt.willTopic = topics_.BridgeState();
    settings_.mqtt.willPayload = "offline";
    MqttClient::Handlers handlers;
    handlers.connected = [this] { Connected(); };
    handlers.lost = [this](const std::string& why, std::chrono::milliseconds in) { Lost(why, in); };
    handlers.message = [this](std::string_view topic, std::string_view payload) {
        Message(topic, payload);
    };
    client_ = std::make_unique<MqttClient>(loop_, settings_.mqtt, handlers);
}

Bridge::~Bridge() = default;

void Bridge::Start() {
    for (auto& b : bricks_) b->Connect();
    client_->Start();
}

void Bridge::CancelWaitsOn(int fd) {
    for (auto& b : bricks_) b->CancelWaitsOn(fd);
}

void Bridge::Stop(std::chrono::milliseconds grace) {
    const auto until = std::chrono::steady_clock::now() + grace;
    for (auto& b : bricks_) b->Stop("the bridge stopped");
    if (client_->Connected()) {
        Publish(topics_.BridgeState(), "offline", true);
        RunFor(until, [this] { return !client_->Connected() || client_->Unacknowledged() == 0; });
    }
    client_->Disconnect();
    RunFor(until, [this] { return client_->Closed(); });
    if (queue_.Size() > 0)
        log_("broker: " + std::to_string(queue_.Size()) + " mails were never published");
}

void Bridge::RunFor(std::chrono::steady_clock::time_point until,
                    const std::function<bool()>& done) {
    while (!done() && std::chrono::steady_clock::now() < until)
        loop_.run_for(std::chrono::milliseconds(10));
}

void Bridge::Connected() {
    const auto& a = settings_.mqtt.address;
    log_("broker: connected to " + Printable(a.host) + ":" + std::to_string(a.port));
    if (!client_->Subscribe(topics_.TextSubscription()) ||
        !client_->Subscribe(topics_.ValueSubscription()))
        log_("broker: cannot subscribe to the sending topics");
    Publish(topics_.BridgeState(), "online", true);
    for (const auto& b : bricks_) PublishState(*b);
    for (const auto& [brick, count] : queue_.TakeDropped()) {
        log_(bricks_[brick]->Name() + ": " + std::to_string(count) +
             " mails dropped while the broker was away");
        Publish(topics_.Dropped(bricks_[brick]->Name()), std::to_string(count), false);
    }
    auto waiting = queue_.TakeAll();
    while (!waiting.empty()) {
        QueuedMail& m = waiting.front();
        std::string why;
        if (!client_->Publish(topics_.Mail(bricks_[m.brick]->Name(), m.mailbox), m.text, false,
                              &why)) {
            // Lost again already: the rest waits for the next connection.
            for (auto& rest : waiting) queue_.Push(std::move(rest));
            return;
        }
        waiting.pop_front();
    }
}

void Bridge::Lost(const std::string& why, std::chrono::milliseconds retryIn) {
    std::string line = "broker: " + Printable(why, 200);
    if (retryIn.count() > 0)
        line += "; trying again in " + std::to_string(retryIn.count() / 1000) + " s";
    log_(line);
}

void Bridge::Mail(std::size_t brick, int mailbox, std::string text) {
    // In order: while older mails wait, a new one waits behind them.
    if (client_->Connected() && queue_.Size() == 0 &&
        client_->Publish(topics_.Mail(bricks_[brick]->Name(), mailbox), text, false))
        return;
    queue_.Push({brick, mailbox, std::move(text)});
}

void Bridge::PublishState(const BrickLink& b) {
    if (!client_->Connected()) return;  // all of them follow on connecting
    Publish(topics_.State(b.Name()), StateText(b.CurrentState()), true);
    Publish(topics_.StateReason(b.Name()), b.Reason(), true);
}

void Bridge::Publish(const std::string& topic, std::string_view payload, bool retain) {
    std::string why;
    if (!client_->Publish(topic, payload, retain, &why))
        log_("broker: cannot publish on " + Printable(topic) + ": " + why);
}

void Bridge::Message(std::string_view topic, std::string_view payload) {
    const auto command = topics_.ParseCommand(topic);
    if (!command) return;
    BrickLink* brick = nullptr;
    for (auto& b : bricks_)
        if (b->Name() == command->brick) brick = b.get();
    if (!brick) {
        Refuse(topics_.Error(kBridgeLevel), topic,
               "no brick named " + Printable(command->brick) + " on this bridge", payload);
        return;
    }
    const std::string errors = topics_.Error(brick->Name());
    if (command->mailbox < 0) {
        Refuse(errors, topic,
               "no mailbox " + Printable(command->mailboxText) + " (mailboxes are 0 to 9)",
               payload);
        return;
    }
    std::string refusal;
    if (command->kind == Topics::Command::Kind::Text) {
        refusal = TextRefusal(payload);
        if (refusal.empty()) refusal = brick->SendText(command->mailbox, std::string(payload));
    } else if (const auto value = ParseNumber(payload)) {
        refusal = brick->SendValue(command->mailbox, *value);
    } else {
        refusal = "not a whole number from -2147483647 to 2147483647";
    }
    if (!refusal.empty()) Refuse(errors, topic, refusal, payload);
}

void Bridge::Refuse(const std::string& errorTopic, std::string_view topic,
                    const std::string& reason, std::string_view payload) {
    log_("refused " + Printable(topic) + " (" + Printable(payload, 40) + "): " + reason);
    Publish(errorTopic, ErrorPayload(topic, reason, payload), false);
}

}  // namespace vostrel::tool::bridge
