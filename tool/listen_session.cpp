// The listen session's commands and events, shared by every system.
#include "tool/listen_session.hpp"

#include "tool/failure_report.hpp"
#include "tool/stdin_command.hpp"

namespace vostrel::tool {

ListenSession::ListenSession(const ListenOptions& o, platform::DefaultLoop& loop,
                             std::function<void(const std::string&)> writeLine,
                             std::function<void(const std::string&)> writeFailure)
    : options_(o),
      loop_(loop),
      port_(ResolvePort(o.link.port)),
      output_(std::move(writeLine), o.json),
      writeFailure_(std::move(writeFailure)),
      control_(platform::MakeControl(loop_, this, port_.map)) {
    control_->SetEventSink(this);
    if (o.noPing) control_->PingNXT(kFalse);
    if (o.watchdogMs > 0) control_->PingTimer().Interval(o.watchdogMs);
}

bool ListenSession::Connect(platform::CancelSignal interrupt) {
    interrupt_ = interrupt;
    platform::LinePortOf(*control_).CancelWaitsOn(interrupt);
    Integer number = port_.number;
    Integer baud = options_.link.baud;
    const Integer r = control_->ConnectNXT(number, baud);
    output_.Connect(r, control_->ErrorMessage());
    if (r != 0) ReportFailure();
    return r == 0;
}

bool ListenSession::Feed(std::string_view bytes) {
    for (const auto& line : lines_.Feed(bytes))
        if (!Take(line)) return false;
    return true;
}

void ListenSession::EndOfInput() {
    if (auto last = lines_.Finish()) Take(*last);
}

bool ListenSession::Disconnect(bool quiet) {
    const Integer r = control_->DisconnectNXT();
    if (quiet) return r == 0;
    output_.Disconnect(r, control_->ErrorMessage());
    if (r != 0) ReportFailure();
    return r == 0;
}

void ListenSession::NewMail(Integer& MailBox) {
    Integer box = MailBox;
    output_.Mail(box, control_->ReadText(box));
}

void ListenSession::NoPing() {
    // A Bluetooth link that did not come up, or fell, says why once.
    const std::string why = platform::LinePortOf(*control_).LinkFailure();
    if (!why.empty() && why != linkFailureShown_) writeFailure_("Connection error: " + why);
    linkFailureShown_ = why;
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

void ListenSession::PropertyChanged(std::string_view name) {
    if (noPingPending_ && name == "ErrorMessage") {
        noPingPending_ = false;
        output_.NoPing(control_->ErrorMessage());
    }
}

void ListenSession::ReportFailure() { writeFailure_(FailureLine(*control_)); }

// Returns false on quit.
bool ListenSession::Take(const LineSplitter::Line& line) {
    if (!line.tooLong) return Execute(line.text);
    output_.Error("line too long (over " + std::to_string(kMaxLine) +
                  " bytes), dropped up to its line break");
    return true;
}

// Returns false on quit.
bool ListenSession::Execute(const std::string& line) {
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
            if (r != 0) ReportFailure();
            break;
        }
        case StdinCommand::Kind::Value: {
            const Integer r = control_->SendValue(box, c.value);
            output_.Sent(box, r, control_->ErrorMessage());
            if (r != 0) ReportFailure();
            break;
        }
        case StdinCommand::Kind::Read:
            try {
                output_.Read(c.mailbox, control_->ReadText(box));
            } catch (const Error& e) {
                output_.Error(std::string("read: ") + e.what());
            }
            break;
        case StdinCommand::Kind::Disconnect:
            Disconnect();
            break;
        case StdinCommand::Kind::Connect:
            Connect(interrupt_);
            break;
        case StdinCommand::Kind::Quit:
            return false;
    }
    return true;
}

}  // namespace vostrel::tool
