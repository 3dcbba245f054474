// `vostrel demo`: a simulated brick on a pseudo-terminal, a control on the
// real platform layer, and a narrated session of about 18 seconds.
#include <chrono>
#include <cstdio>
#include <iostream>

#include "tool/commands.hpp"
#include "tool/event_output.hpp"
#include "tool/failure_report.hpp"
#include "tool/fd_output.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::tool {

namespace {
using std::chrono::milliseconds;

class Demo : public EventSink {
public:
    explicit Demo(std::ostream& out) : out_(out) {}

    int Run() {
        sim::BrickOptions o;
        o.program.pingEvery = milliseconds(2000);
        o.program.pingInbox = 0;
        o.program.echoInboxes = {1, 2};
        o.program.toneReportInbox = 0;
        sim::SimulatedBrick brick(o);
        // Brick events happen on its thread: narrate them on the loop's.
        brick.SetObserver([this](const sim::BrickEvent& e) {
            // Stamped when it happened, not when the loop gets to print it.
            const auto at = std::chrono::steady_clock::now();
            const std::string line = Describe(e);
            loop_.post([this, line, at] { Say(line, at); });
        });
        platform::PortMap ports;
        ports.Map(1, brick.DevicePath());
        control_ = platform::MakeControl(loop_, nullptr, ports);
        control_->SetEventSink(this);

        Say("A simulated NXT brick runs on " + brick.DevicePath() +
            ": it sends a keep-alive query every 2 s and answers texts in mailboxes 1 and 2.");
        Say("host: ConnectNXT(1, 9600) -- port 1 is mapped to that device");
        int failures = control_->ConnectNXT(1, 9600);
        Say("host: ConnectNXT -> " + control_->ErrorMessage());
        if (failures != 0) {
            ReportFailure(std::cerr, *control_);
            return 1;
        }
        Until(milliseconds(1200));

        Say("host: SendText(1, \"hello\")");
        const int sendTextFailed = control_->SendText(1, "hello");
        failures += sendTextFailed;
        Say("host: SendText -> " + control_->ErrorMessage());
        if (sendTextFailed != 0) ReportFailure(std::cerr, *control_);
        Until(milliseconds(1800));
        Say("host: SendValue(2, 1000)");
        const int sendValueFailed = control_->SendValue(2, 1000);
        failures += sendValueFailed;
        Say("host: SendValue -> " + control_->ErrorMessage());
        if (sendValueFailed != 0) ReportFailure(std::cerr, *control_);
        Until(milliseconds(4600));

        Say("The brick goes silent for 11 s; the control's watchdog (10 s) will notice.");
        brick.GoSilent(milliseconds(11000));
        Until(milliseconds(16600));

        Say("host: DisconnectNXT()");
        const int disconnectNXTFailed = control_->DisconnectNXT();
        failures += disconnectNXTFailed;
        Say("host: DisconnectNXT -> " + control_->ErrorMessage());
        if (disconnectNXTFailed != 0) ReportFailure(std::cerr, *control_);
        Until(milliseconds(16800));
        brick.SetObserver(nullptr);
        loop_.run_for(milliseconds(0));  // narrate what was posted before
        const sim::BrickStatus s = brick.Status();
        Say("Done: the brick sent " + std::to_string(s.pingsSent) + " keep-alive queries and got " +
            std::to_string(s.pingAnswers) + " answers; the host saw " + std::to_string(mails_) +
            " mails and " + std::to_string(noPings_) + " NoPing.");
        return failures == 0 && noPings_ > 0 ? 0 : 1;
    }

    void NewMail(Integer& MailBox) override {
        ++mails_;
        Integer box = MailBox;
        Say("host: NewMail(" + std::to_string(box) + "), ReadText -> \"" +
            Printable(control_->ReadText(box)) + "\"");
    }
    void NoPing() override {
        ++noPings_;
        Say("host: NoPing -- the brick has been silent for 10 s");
        loop_.post(
            [this] { Say("host: ErrorMessage is now \"" + control_->ErrorMessage() + "\""); });
    }

private:
    // Runs the loop until `t` after the start.
    void Until(milliseconds t) {
        const auto left = start_ + t - std::chrono::steady_clock::now();
        if (left > std::chrono::steady_clock::duration::zero())
            loop_.run_for(std::chrono::ceil<milliseconds>(left));
    }
    void Say(const std::string& line,
             std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now()) {
        const double s = std::chrono::duration<double>(at - start_).count();
        char stamp[16];
        std::snprintf(stamp, sizeof stamp, "[%6.3f s] ", s);
        out_ << stamp << line << std::endl;
        // Nobody reads the narration any more: stop, main says why.
        if (!out_) throw OutputFailed{};
    }

    std::ostream& out_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    platform::DefaultLoop loop_;
    std::unique_ptr<Vostrel> control_;
    int mails_ = 0;
    int noPings_ = 0;
};
}  // namespace

int RunDemo(std::ostream& out) {
    Demo demo(out);
    return demo.Run();
}

}  // namespace vostrel::tool
