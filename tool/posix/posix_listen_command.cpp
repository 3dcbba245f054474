// `vostrel listen` on POSIX: the loop watches stdin and the interrupt pipe;
// standard output and standard error are written by threads of their own,
// so a reader that stops reading never holds up the control.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

#include "tool/commands.hpp"
#include "tool/interrupts.hpp"
#include "tool/listen_session.hpp"
#include "tool/output_writer.hpp"

namespace vostrel::tool {

namespace {

// How long the last lines may take to leave once interrupted.
constexpr std::chrono::milliseconds kOutputGrace{300};

// Whether two descriptors write to the same file, pipe or terminal
// (`2>&1`, or both on one terminal).
bool SameFile(int a, int b) {
    struct stat sa {
    }, sb{};
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::string DroppedErrors(std::uint64_t count) {
    return "vostrel: " + std::to_string(count) +
           " lines of standard error dropped: it was not being read";
}

class PosixListen {
public:
    explicit PosixListen(const ListenOptions& o)
        : writer_(STDOUT_FILENO,
                  [this](std::uint64_t count) { return session_.Output().DroppedLine(count); }),
          // Standard error on the output's own file shares its writer, so the
          // two keep their order and never cut into each other's lines.
          errors_(SameFile(STDOUT_FILENO, STDERR_FILENO)
                      ? nullptr
                      : std::make_unique<OutputWriter>(STDERR_FILENO, DroppedErrors)),
          session_(
              o, loop_, [this](const std::string& line) { writer_.Line(line); },
              [this](const std::string& line) { (errors_ ? *errors_ : writer_).Line(line); }) {}

    int Run() {
        // Every wait of the port ends at once on an interrupt, so the
        // session ends at once in every state.
        const bool connected = session_.Connect(interrupts_.Signal());
        // A reader that went away, or a full device, ends the session. A
        // standard error that fails does not: there is nowhere to say so.
        loop_.Watch(writer_.FailedFd(), [this] { loop_.stop(); });
        if (connected) {
            loop_.Watch(interrupts_.Fd(), [this] { loop_.stop(); });
            stdinWatch_ = loop_.Watch(STDIN_FILENO, [this] { ReadStdin(); });
            loop_.run();
        }
        bool ok = connected;
        if (connected)
            ok = session_.Disconnect(!writer_.Failure().empty()) && writer_.Failure().empty();
        return FinishOutput() && ok ? 0 : 1;
    }

private:
    // Waits for the output and the reasons on standard error to be written;
    // after an interrupt, briefly. Says on stderr what could not be written.
    // Lines lost on standard error do not change the exit status.
    bool FinishOutput() {
        const bool written = writer_.Flush(interrupts_.Fd(), kOutputGrace);
        if (errors_) errors_->Flush(interrupts_.Fd(), kOutputGrace);
        if (written) return true;
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
            session_.EndOfInput();
            EndInput();
            return;
        }
        if (!session_.Feed({buf, static_cast<std::size_t>(n)})) EndInput();
    }

    void EndInput() {
        loop_.Unwatch(stdinWatch_);
        loop_.stop();
    }

    // First, so an interrupt right after the first output is caught, and
    // last to go: the port polls its descriptor until it is destroyed.
    Interrupts interrupts_;
    OutputWriter writer_;
    std::unique_ptr<OutputWriter> errors_;  // null: standard error is the output's file
    platform::DefaultLoop loop_;
    ListenSession session_;
    platform::EventLoop::Id stdinWatch_ = 0;
};

}  // namespace

int RunListen(const ListenOptions& options) {
    PosixListen listen(options);
    return listen.Run();
}

}  // namespace vostrel::tool
