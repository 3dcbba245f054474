// The heart of `vostrel listen`, the same on every system: the control, its
// events printed as they come, and the stdin commands. The per-system files
// (posix_listen_command.cpp, win32_listen_command.cpp) bring the input, the
// interrupts and the output to it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tool/commands.hpp"
#include "tool/event_output.hpp"
#include "tool/line_splitter.hpp"
#include "tool/port_argument.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::tool {

class ListenSession : public EventSink, public HostSite {
public:
    /// The longest stdin line taken; a longer one is refused whole.
    static constexpr std::size_t kMaxLine = 64 * 1024;

    /// `writeLine` takes each output line, `writeFailure` each reason a
    /// failed method gives (for standard error), both without their line
    /// break and on the loop's thread; neither may block the loop.
    ListenSession(const ListenOptions& options, platform::DefaultLoop& loop,
                  std::function<void(const std::string&)> writeLine,
                  std::function<void(const std::string&)> writeFailure);

    EventOutput& Output() { return output_; }
    /// Connects and prints the result (and why it failed, on stderr). Every
    /// wait of the port (a full line, the close's grace) ends at once when
    /// `interrupt` fires.
    bool Connect(platform::CancelSignal interrupt);
    /// The next bytes of standard input; false once a command ends the
    /// session ("quit").
    bool Feed(std::string_view bytes);
    /// End of input: a last line without its line break still counts.
    void EndOfInput();
    /// Disconnects at the end of the session and prints the result; false
    /// when it failed. `quiet`: no line printed (the output has failed).
    bool Disconnect(bool quiet = false);

    void NewMail(Integer& MailBox) override;
    void NoPing() override;
    bool UserMode() override { return true; }
    void PropertyChanged(std::string_view name) override;

private:
    bool Take(const LineSplitter::Line& line);
    bool Execute(const std::string& line);
    void ReportFailure();

    const ListenOptions& options_;
    platform::DefaultLoop& loop_;
    PortChoice port_;
    EventOutput output_;
    std::function<void(const std::string&)> writeFailure_;
    std::unique_ptr<Vostrel> control_;
    LineSplitter lines_{kMaxLine};
    bool noPingPending_ = false;
    String statusAtNoPing_;
    std::string linkFailureShown_;
    platform::CancelSignal interrupt_ = platform::kNoCancel;
};

}  // namespace vostrel::tool
