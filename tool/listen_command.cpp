// `vostrel listen`: stay connected, print mail and NoPing, take commands
// from stdin until EOF, "quit" or an interrupt.
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "tool/commands.hpp"
#include "tool/event_output.hpp"
#include "tool/failure_report.hpp"
#include "tool/interrupts.hpp"
#include "tool/line_splitter.hpp"
#include "tool/output_writer.hpp"
#include "tool/port_argument.hpp"
#include "tool/stdin_command.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::tool {

namespace {

class ListenSession : public EventSink, public HostSite {
public:
    explicit ListenSession(const ListenOptions& o)
        : options_(o),
          port_(ResolvePort(o.link.port)),
          writer_(STDOUT_FILENO,
                  [this](std::uint64_t count) { return output_.DroppedLine(count); }),
          output_([this](const std::string& line) { writer_.Line(line); }, o.json),
          control_(platform::MakeControl(loop_, this, port_.map)) {
        control_->SetEventSink(this);
        if (o.noPing) control_->PingNXT(kFalse);
        if (o.watchdogMs > 0) control_->PingTimer().Interval(o.watchdogMs);
    }

    int Run() {
        // Before the first output, so an interrupt right after it is caught.
        Interrupts interrupts;
        const bool connected = Connect();
        // A reader that went away, or a full device, ends the session.
        loop_.Watch(writer_.FailedFd(), [this] { loop_.stop(); });
        if (connected) {
            loop_.Watch(interrupts.Fd(), [this] { loop_.stop(); });
            const auto stdinWatch = loop_.Watch(STDIN_FILENO, [this] { ReadStdin(); });
            stdinWatch_ = stdinWatch;
            loop_.run();
        }
        int status = 1;
        if (connected && writer_.Failure().empty()) {
            const Integer r = control_->DisconnectNXT();
            output_.Disconnect(r, control_->ErrorMessage());
            status = r == 0 ? 0 : 1;
            if (r != 0) ReportFailure(std::cerr, *control_);
        } else if (connected) {
            control_->DisconnectNXT();
        }
        return FinishOutput(interrupts) ? status : 1;
    }

    void NewMail(Integer& MailBox) override {
        Integer box = MailBox;
        output_.Mail(box, control_->ReadText(box));
    }
    void NoPing() override {
        // The tick sets its status once this handler returns: the line is
        // printed when it does (PropertyChanged), with that status.
        noPingPending_ = true;
        statusAtNoPing_ = control_->ErrorMessage();
        loop_.post([this] {
            // The tick set no status (its setter failed): it is unchanged.
            if (noPingPending_) output_.NoPing(statusAtNoPing_);
            noPingPending_ = false;
        });
    }

    bool UserMode() override { return true; }
    void PropertyChanged(std::string_view name) override {
        if (noPingPending_ && name == "ErrorMessage") {
            noPingPending_ = false;
            output_.NoPing(control_->ErrorMessage());
        }
    }

private:
    bool Connect() {
        Integer number = port_.number;
        Integer baud = options_.link.baud;
        const Integer r = control_->ConnectNXT(number, baud);
        output_.Connect(r, control_->ErrorMessage());
        if (r != 0) ReportFailure(std::cerr, *control_);
        return r == 0;
    }

    // Waits for the output to be written; after an interrupt, briefly. Says
    // on stderr what could not be written.
    bool FinishOutput(const Interrupts& interrupts) {
        if (writer_.Flush(interrupts.Fd(), kOutputGrace)) return true;
        const std::string why = writer_.Failure();
        ComplainOnStderr(why.empty() ? "standard output is not being read; its last lines are lost"
                                     : "cannot write standard output: " + why);
        return false;
    }

    void ReadStdin() {
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {
            // EOF: a last line without its newline still counts.
            if (auto last = lines_.Finish()) Take(*last);
            EndInput();
            return;
        }
        for (const auto& line : lines_.Feed({buf, static_cast<std::size_t>(n)})) {
            if (!Take(line)) {
                EndInput();
                return;
            }
        }
    }

    void EndInput() {
        loop_.Unwatch(stdinWatch_);
        loop_.stop();
    }

    // Returns false on quit.
    bool Take(const LineSplitter::Line& line) {
        if (!line.tooLong) return Execute(line.text);
        output_.Error("line too long (over " + std::to_string(kMaxLine) +
                      " bytes), dropped up to its line break");
        return true;
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
                output_.Sent(box, r, control_->ErrorMessage());  // the mailbox it went to
                if (r != 0) ReportFailure(std::cerr, *control_);
                break;
            }
            case StdinCommand::Kind::Value: {
                const Integer r = control_->SendValue(box, c.value);
                output_.Sent(box, r, control_->ErrorMessage());
                if (r != 0) ReportFailure(std::cerr, *control_);
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
                if (r != 0) ReportFailure(std::cerr, *control_);
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
    // How long the last lines may take to leave once interrupted.
    static constexpr std::chrono::milliseconds kOutputGrace{300};
    const ListenOptions& options_;
    PortChoice port_;
    OutputWriter writer_;
    EventOutput output_;
    platform::DefaultLoop loop_;
    std::unique_ptr<Vostrel> control_;
    platform::EventLoop::Id stdinWatch_ = 0;
    LineSplitter lines_{kMaxLine};
    bool noPingPending_ = false;
    String statusAtNoPing_;
};

}  // namespace

int RunListen(const ListenOptions& options) {
    ListenSession session(options);
    return session.Run();
}

}  // namespace vostrel::tool
