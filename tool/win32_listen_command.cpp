// `vostrel listen` on Windows: a reader thread brings stdin and the
// console's interrupts to the loop (StdinFeed); lines go to standard output
// as they come.
#include <iostream>

#include "tool/commands.hpp"
#include "tool/listen_session.hpp"
#include "tool/stdin_feed.hpp"

namespace vostrel::tool {

namespace {

class Win32Listen {
public:
    explicit Win32Listen(const ListenOptions& o)
        : session_(
              o, loop_, [](const std::string& line) { std::cout << line << std::endl; },
              [](const std::string& line) {
                  // One write, so an output line never lands inside it.
                  const std::string whole = line + '\n';
                  std::cerr.write(whole.data(), static_cast<std::streamsize>(whole.size()));
                  std::cerr.flush();
              }) {}

    int Run() {
        // Before the first output, so an interrupt right after it is caught.
        StdinFeed feed(
            loop_, [this, &feed](std::string_view chunk) { ReadStdin(feed, chunk); },
            [this] { loop_.stop(); });
        if (!session_.Connect()) return 1;
        loop_.run();
        const bool ok = session_.Disconnect();
        return ok && std::cout.good() ? 0 : 1;
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

    platform::DefaultLoop loop_;
    ListenSession session_;
};

}  // namespace

int RunListen(const ListenOptions& options) {
    Win32Listen listen(options);
    return listen.Run();
}

}  // namespace vostrel::tool
