// `vostrel listen` on Windows: a reader thread brings stdin and the
// console's interrupts to the loop (StdinFeed); standard output and error
// are written by threads of their own, so a reader that stops reading never
// holds up the control.
#include <chrono>
#include <cstdio>
#include <iostream>

#include "tool/commands.hpp"
#include "tool/listen_session.hpp"
#include "tool/queued_writer.hpp"
#include "tool/stdin_feed.hpp"

namespace vostrel::tool {

namespace {

// How long the last lines may take to leave at the end (a reader that does
// not read then must not keep the program for ever).
constexpr std::chrono::milliseconds kOutputGrace{5000};

class Win32Listen {
public:
    explicit Win32Listen(const ListenOptions& o)
        : output_(
              stdout, [this](std::uint64_t n) { return session_.Output().DroppedLine(n); },
              // A reader that went away, or a full device, ends the session.
              [this](const std::string&) { loop_.post([this] { loop_.stop(); }); }),
          errors_(
              stderr,
              [](std::uint64_t n) {
                  return "vostrel: " + std::to_string(n) +
                         " lines of standard error dropped: it was not being read";
              },
              nullptr),
          session_(
              o, loop_, [this](const std::string& line) { output_.Line(line); },
              [this](const std::string& line) { errors_.Line(line); }) {}

    int Run() {
        // Before the first output, so an interrupt right after it is caught.
        StdinFeed feed(
            loop_, [this, &feed](std::string_view chunk) { ReadStdin(feed, chunk); },
            [this] { loop_.stop(); });
        // The console's interrupts come through the feed, which has no
        // event for the port's waits: the close keeps its grace.
        if (!session_.Connect(platform::kNoCancel)) return Finish(false);
        loop_.run();
        return Finish(session_.Disconnect());
    }

private:
    // A chunk of stdin; empty at its end.
    void ReadStdin(StdinFeed& feed, std::string_view chunk) {
        if (chunk.empty()) {
            session_.EndOfInput();
            loop_.stop();
            return;
        }
        if (!session_.Feed(chunk)) {
            feed.StopInput();
            loop_.stop();
        }
    }

    int Finish(bool ok) {
        const bool written = output_.Flush(kOutputGrace);
        errors_.Flush(kOutputGrace);
        if (const std::string why = output_.Failure(); !why.empty()) {
            std::fputs(("vostrel: cannot write standard output: " + why + "\n").c_str(), stderr);
            return 1;
        }
        if (!written) {
            std::fputs("vostrel: standard output was not read: its last lines were not written\n",
                       stderr);
            return 1;
        }
        return ok ? 0 : 1;
    }

    platform::DefaultLoop loop_;
    QueuedWriter output_;
    QueuedWriter errors_;
    ListenSession session_;
};

}  // namespace

int RunListen(const ListenOptions& options) {
    Win32Listen listen(options);
    return listen.Run();
}

}  // namespace vostrel::tool
