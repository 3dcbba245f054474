// `vostrel listen`: stay connected, print mail and NoPing, take commands
// from stdin until EOF, "quit" or an interrupt.
#include "tool/commands.hpp"
#include "tool/event_output.hpp"
#include "tool/port_argument.hpp"
#include "tool/stdin_command.hpp"
#include "tool/stdin_feed.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::tool {

namespace {

class ListenSession : public EventSink {
public:
    ListenSession(const ListenOptions& o, std::ostream& out)
        : options_(o), port_(ResolvePort(o.link.port)), output_(out, o.json),
          control_(platform::MakeControl(loop_, nullptr, port_.map)) {
        control_->SetEventSink(this);
        if (o.noPing) control_->PingNXT(kFalse);
        if (o.watchdogMs > 0) control_->PingTimer().Interval(o.watchdogMs);
    }

    int Run() {
        // Before the first output, so an interrupt right after it is caught.
        StdinFeed feed(loop_, [this](std::string_view chunk) { ReadStdin(chunk); },
                       [this] { loop_.stop(); });
        feed_ = &feed;
        if (!Connect()) return 1;
        loop_.run();
        const Integer r = control_->DisconnectNXT();
        output_.Disconnect(r, control_->ErrorMessage());
        return r == 0 ? 0 : 1;
    }

    void NewMail(Integer& MailBox) override {
        Integer box = MailBox;
        output_.Mail(box, control_->ReadText(box));
    }
    void NoPing() override {
        // The tick sets "Ping error" after this handler returns.
        loop_.post([this] { output_.NoPing(control_->ErrorMessage()); });
    }

private:
    bool Connect() {
        Integer number = port_.number;
        Integer baud = options_.link.baud;
        const Integer r = control_->ConnectNXT(number, baud);
        output_.Connect(r, control_->ErrorMessage());
        return r == 0;
    }

    // A chunk of stdin; empty at its end.
    void ReadStdin(std::string_view chunk) {
        if (chunk.empty()) {
            // EOF: a last line without its newline still counts.
            if (!pending_.empty()) Execute(pending_);
            pending_.clear();
            loop_.stop();
            return;
        }
        pending_.append(chunk);
        std::size_t at;
        while ((at = pending_.find('\n')) != std::string::npos) {
            const std::string line = pending_.substr(0, at);
            pending_.erase(0, at + 1);
            if (!Execute(line)) {
                feed_->StopInput();
                loop_.stop();
                return;
            }
        }
        if (pending_.size() > kMaxLine) {
            output_.Error("line too long (over " + std::to_string(kMaxLine) + " bytes), dropped");
            pending_.clear();
        }
    }

    // Returns false on quit.
    bool Execute(const std::string& line) {
        const StdinCommand c = ParseCommand(line);
        Integer box = c.mailbox;
        switch (c.kind) {
            case StdinCommand::Kind::Empty:
                break;
            case StdinCommand::Kind::Bad:
                output_.Error(c.error);
                break;
            case StdinCommand::Kind::Text: {
                const Integer r = control_->SendText(box, c.text);
                output_.Sent(c.mailbox, r, control_->ErrorMessage());
                break;
            }
            case StdinCommand::Kind::Value: {
                const Integer r = control_->SendValue(box, c.value);
                output_.Sent(c.mailbox, r, control_->ErrorMessage());
                break;
            }
            case StdinCommand::Kind::Read:
                try {
                    output_.Read(c.mailbox, control_->ReadText(box));
                } catch (const Error& e) {
                    output_.Error(std::string("read: ") + e.what());
                }
                break;
            case StdinCommand::Kind::Disconnect: {
                const Integer r = control_->DisconnectNXT();
                output_.Disconnect(r, control_->ErrorMessage());
                break;
            }
            case StdinCommand::Kind::Connect:
                Connect();
                break;
            case StdinCommand::Kind::Quit:
                return false;
        }
        return true;
    }

    static constexpr std::size_t kMaxLine = 64 * 1024;
    const ListenOptions& options_;
    PortChoice port_;
    EventOutput output_;
    platform::DefaultLoop loop_;
    std::unique_ptr<Vostrel> control_;
    StdinFeed* feed_ = nullptr;  // while Run runs
    std::string pending_;
};

}  // namespace

int RunListen(const ListenOptions& options, std::ostream& out) {
    ListenSession session(options, out);
    return session.Run();
}

}  // namespace vostrel::tool
