// The module's C++ side for JavaScript (embind): the loop, the control on a
// Web Serial port and the simulated brick. The JavaScript wrapper
// (vostrel.js) checks arguments and turns errors kept here into exceptions:
// no C++ exception crosses into JavaScript, and JavaScript never unwinds
// C++ frames.
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/web/web_loop.hpp"
#include "platform/web/web_serial_port.hpp"
#include "vostrel/platform.hpp"
#include "vostrel/vostrel.hpp"
#include "web/src/loop_brick.hpp"

namespace vostrel::web {

using emscripten::val;
using platform::web::WebLoop;
using platform::web::WebSerialPort;

namespace {

// An error kept for the wrapper, which throws it as a JavaScript exception.
class Thrown {
public:
    template <class F>
    auto Catch(F&& f) -> decltype(f()) {
        thrown_.reset();
        try {
            return f();
        } catch (const Error& e) {
            thrown_ = e;
        } catch (const std::invalid_argument& e) {
            // The simulated brick's refusals: a text too long, a mailbox out of range.
            thrown_ = Error(err::kInvalidArgument, e.what());
        } catch (const std::exception& e) {
            thrown_ = Error(err::kHostFailure, e.what());
        }
        return decltype(f())();
    }
    // null, or {number, message}.
    val Take() {
        if (!thrown_) return val::null();
        val o = val::object();
        o.set("number", thrown_->Number());
        o.set("message", std::string(thrown_->what()));
        thrown_.reset();
        return o;
    }

private:
    std::optional<Error> thrown_;
};

Integer ToInteger(int n, const char* name) {
    if (n < std::numeric_limits<Integer>::min() || n > std::numeric_limits<Integer>::max())
        throw Error(err::kOverflow,
                    std::string(name) + ": " + std::to_string(n) + " is outside -32768 to 32767");
    return static_cast<Integer>(n);
}

}  // namespace

class Loop {
public:
    explicit Loop(val host) : loop_(std::move(host)) {}
    void RunDue() { loop_.RunDue(); }
    double NextDueMs() const { return loop_.NextDueMs(); }
    WebLoop& Get() { return loop_; }

private:
    WebLoop loop_;
};

// The host's side of one control: its events go to a JavaScript object with
// newMail(mailbox), noPing() and unhandled(message).
class Control : public EventSink, public HostSite {
public:
    Control(Loop& loop, val lines, val events) : events_(std::move(events)) {
        auto port = std::make_unique<WebSerialPort>(std::move(lines));
        port_ = port.get();
        control_ = std::make_unique<Vostrel>(
            std::move(port), std::make_unique<platform::LoopTimer>(loop.Get()), this);
        control_->UserControl_InitProperties();
        control_->SetEventSink(this);
    }

    int SendValue(int mailbox, int value) {
        return thrown_.Catch(
            [&] { return int{control_->SendValue(ToInteger(mailbox, "MailBox"), Long{value})}; });
    }
    int SendText(int mailbox, std::string mail) {
        return thrown_.Catch([&] {
            return int{control_->SendText(ToInteger(mailbox, "MailBox"), std::move(mail))};
        });
    }
    int ConnectNXT(int port, int speed) {
        return thrown_.Catch([&] {
            return int{
                control_->ConnectNXT(ToInteger(port, "PortNumber"), ToInteger(speed, "BoudRate"))};
        });
    }
    int DisconnectNXT() {
        return thrown_.Catch([&] { return int{control_->DisconnectNXT()}; });
    }
    std::string ReadText(int mailbox) {
        return thrown_.Catch([&] { return control_->ReadText(ToInteger(mailbox, "MsgBox")); });
    }
    int Connection() const { return control_->Connection().raw(); }
    void SetConnection(int v) {
        thrown_.Catch([&] { control_->Connection(Boolean(ToInteger(v, "Connection"))); });
    }
    std::string ErrorMessage() const { return control_->ErrorMessage(); }
    void SetErrorMessage(std::string v) {
        thrown_.Catch([&] { control_->ErrorMessage(std::move(v)); });
    }
    int PingNXT() const { return control_->PingNXT().raw(); }
    void SetPingNXT(int v) {
        thrown_.Catch([&] { control_->PingNXT(Boolean(ToInteger(v, "PingNXT"))); });
    }
    int WatchdogInterval() const { return control_->PingTimer().Interval(); }
    void SetWatchdogInterval(int ms) {
        thrown_.Catch([&] { control_->PingTimer().Interval(ms); });
    }
    val LastError() const {
        const auto& e = control_->LastError();
        if (!e) return val::null();
        val o = val::object();
        o.set("number", e->Number());
        o.set("message", std::string(e->what()));
        return o;
    }
    val TakeThrown() { return thrown_.Take(); }

    // The line's reports, for the port.
    void Received(unsigned session, std::string bytes) { port_->Received(session, bytes); }
    void Written(unsigned session, double count) {
        port_->Written(session, static_cast<std::size_t>(count));
    }
    void Failed(unsigned session, std::string reason) { port_->Failed(session, reason); }
    double Unsent() const { return static_cast<double>(port_->Unsent()); }
    bool HungUp() const { return port_->HungUp(); }
    unsigned Session() const { return port_->Session(); }

private:
    void NewMail(Integer& mailbox) override { events_.call<void>("newMail", int{mailbox}); }
    void NoPing() override { events_.call<void>("noPing"); }
    bool UserMode() override { return true; }
    void PropertyChanged(std::string_view) override {}
    void UnhandledError(std::exception_ptr error) override {
        std::string text = "unknown error";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            text = e.what();
        } catch (...) {
        }
        events_.call<void>("unhandled", text);
    }

    val events_;
    WebSerialPort* port_ = nullptr;  // owned by the control
    std::unique_ptr<Vostrel> control_;
    Thrown thrown_;
};

namespace {

sim::milliseconds Ms(const val& options, const char* name, double fallback) {
    const val v = options[name];
    return sim::milliseconds(static_cast<long long>(v.isUndefined() ? fallback : v.as<double>()));
}

int Int(const val& options, const char* name, int fallback) {
    const val v = options[name];
    return v.isUndefined() ? fallback : v.as<int>();
}

// The brick's options from a JavaScript object; the wrapper checked them.
LoopBrickOptions Options(const val& o) {
    LoopBrickOptions b;
    b.programRunning = o["program"].isUndefined() || o["program"].as<bool>();
    b.program.pingEvery = Ms(o, "pingEvery", 3000);
    b.program.pingInbox = Int(o, "pingBox", 0);
    if (!o["pingText"].isUndefined()) b.program.pingText = o["pingText"].as<std::string>();
    for (const int box : emscripten::vecFromJSArray<int>(
             o["echoBoxes"].isUndefined() ? val::array() : o["echoBoxes"]))
        b.program.echoInboxes.insert(box);
    b.program.replyInbox = Int(o, "replyBox", -1);
    b.program.toneReportInbox = Int(o, "reportTones", -1);
    const sim::milliseconds every = Ms(o, "sendEvery", 1000);
    const int count = Int(o, "sendCount", 0);
    const auto schedule = [&](const char* name, bool numbers) {
        if (o[name].isUndefined()) return;
        const val list = o[name];
        const int n = list["length"].as<int>();
        for (int i = 0; i < n; ++i) {
            const val pair = list[i];
            const std::string payload = numbers ? sim::NumberPayload(pair[1].as<std::int32_t>())
                                                : pair[1].as<std::string>();
            b.program.schedule.push_back({pair[0].as<int>(), payload, every, count});
        }
    };
    schedule("sendTexts", false);
    schedule("sendNumbers", true);
    b.pieces = Int(o, "split", 1);
    b.gap = Ms(o, "splitGap", 0);
    return b;
}

}  // namespace

// The simulated brick; what it writes goes to the JavaScript function `write`.
class Brick {
public:
    Brick(Loop& loop, val options, val write)
        : write_(std::move(write)),
          brick_(loop.Get(), Options(options), [this](const std::string& bytes) {
              const val view(emscripten::typed_memory_view(
                  bytes.size(), reinterpret_cast<const unsigned char*>(bytes.data())));
              write_(val::global("Uint8Array").new_(view));
          }) {}

    void Receive(std::string bytes) { brick_.Receive(bytes); }
    void SendText(int inbox, std::string text, int pieces, double gapMs) {
        thrown_.Catch([&] {
            brick_.SendText(inbox, text, pieces, sim::milliseconds(static_cast<long long>(gapMs)));
        });
    }
    void SendNumber(int inbox, int value) {
        thrown_.Catch([&] { brick_.SendNumber(inbox, value); });
    }
    void SendJoined(val messages) {
        thrown_.Catch([&] {
            std::vector<std::pair<int, std::string> > list;
            const int n = messages["length"].as<int>();
            for (int i = 0; i < n; ++i)
                list.emplace_back(messages[i][0].as<int>(), messages[i][1].as<std::string>());
            brick_.SendJoined(list);
        });
    }
    void SendGarbage(std::string bytes) { brick_.SendGarbage(bytes); }
    void GoSilent(double ms) { brick_.GoSilent(sim::milliseconds(static_cast<long long>(ms))); }
    void HangUp() { brick_.HangUp(); }
    void StopProgram() { brick_.StopProgram(); }
    void StartProgram() { brick_.StartProgram(); }
    val Stored(int inbox) const {
        val list = val::array();
        if (inbox < 0 || inbox >= sim::BrickEngine::kInboxes) return list;
        for (const std::string& m : brick_.Stored(inbox)) list.call<void>("push", m);
        return list;
    }
    val Status() const {
        val o = val::object();
        val tones = val::array();
        for (const sim::Tone& t : brick_.Tones()) {
            val pair = val::array();
            pair.call<void>("push", int{t.frequency});
            pair.call<void>("push", int{t.durationMs});
            tones.call<void>("push", pair);
        }
        o.set("tones", tones);
        o.set("pingsSent", brick_.Program().PingsSent());
        o.set("pingAnswers", brick_.Program().PingAnswers());
        o.set("wrongAnswers", brick_.Program().WrongAnswers());
        o.set("keepAlives", brick_.KeepAlives());
        o.set("bytesIn", static_cast<double>(brick_.BytesIn()));
        o.set("bytesOut", static_cast<double>(brick_.BytesOut()));
        o.set("silent", brick_.Silent());
        o.set("hungUp", brick_.HungUp());
        return o;
    }
    val TakeThrown() { return thrown_.Take(); }

private:
    val write_;
    LoopBrick brick_;
    Thrown thrown_;
};

EMSCRIPTEN_BINDINGS(vostrel) {
    using emscripten::class_;
    class_<Loop>("Loop")
        .constructor<val>()
        .function("runDue", &Loop::RunDue)
        .function("nextDueMs", &Loop::NextDueMs);
    class_<Control>("Control")
        .constructor<Loop&, val, val>()
        .function("SendValue", &Control::SendValue)
        .function("SendText", &Control::SendText)
        .function("ConnectNXT", &Control::ConnectNXT)
        .function("DisconnectNXT", &Control::DisconnectNXT)
        .function("ReadText", &Control::ReadText)
        .function("getConnection", &Control::Connection)
        .function("setConnection", &Control::SetConnection)
        .function("getErrorMessage", &Control::ErrorMessage)
        .function("setErrorMessage", &Control::SetErrorMessage)
        .function("getPingNXT", &Control::PingNXT)
        .function("setPingNXT", &Control::SetPingNXT)
        .function("getWatchdogInterval", &Control::WatchdogInterval)
        .function("setWatchdogInterval", &Control::SetWatchdogInterval)
        .function("lastError", &Control::LastError)
        .function("takeThrown", &Control::TakeThrown)
        .function("received", &Control::Received)
        .function("written", &Control::Written)
        .function("failed", &Control::Failed)
        .function("unsent", &Control::Unsent)
        .function("hungUp", &Control::HungUp)
        .function("session", &Control::Session);
    class_<Brick>("Brick")
        .constructor<Loop&, val, val>()
        .function("receive", &Brick::Receive)
        .function("sendText", &Brick::SendText)
        .function("sendNumber", &Brick::SendNumber)
        .function("sendJoined", &Brick::SendJoined)
        .function("sendGarbage", &Brick::SendGarbage)
        .function("goSilent", &Brick::GoSilent)
        .function("hangUp", &Brick::HangUp)
        .function("stopProgram", &Brick::StopProgram)
        .function("startProgram", &Brick::StartProgram)
        .function("stored", &Brick::Stored)
        .function("status", &Brick::Status)
        .function("takeThrown", &Brick::TakeThrown);
    emscripten::constant("MAILBOX_COUNT", Vostrel::kMailboxCount);
    emscripten::constant("WATCHDOG_INTERVAL", static_cast<int>(Vostrel::kWatchdogInterval));
    emscripten::constant("OUTPUT_QUEUE_BYTES", static_cast<int>(platform::kOutputQueueBytes));
}

}  // namespace vostrel::web
