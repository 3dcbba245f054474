// What listen prints: one line per event, as readable text with a time of
// day, or as one JSON object a line. Every line is flushed at once.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace vostrel::tool {

class EventOutput {
public:
    /// Each line (without its line break) goes to `emit`.
    EventOutput(std::function<void(const std::string&)> emit, bool json)
        : emit_(std::move(emit)), json_(json) {}
    /// Each line goes to `out`, flushed at once.
    EventOutput(std::ostream& out, bool json);

    void Connect(int result, const std::string& status);
    void Disconnect(int result, const std::string& status);
    /// `stored`: the mailbox text as the control holds it (NUL and all).
    void Mail(int mailbox, const std::string& stored);
    void NoPing(const std::string& status);
    void Sent(int mailbox, int result, const std::string& status);
    void Read(int mailbox, const std::string& stored);
    /// In plain text, bytes outside printable ASCII are escaped (\xNN), so
    /// a line echoed from the input cannot drive the terminal.
    void Error(const std::string& message);
    /// The line telling that `count` lines were dropped while the reader of
    /// the output did not read.
    std::string DroppedLine(std::uint64_t count) const;

private:
    void Line(const std::string& text);
    std::string Stamped(const std::string& text) const;
    std::function<void(const std::string&)> emit_;
    bool json_;
};

/// Every byte outside printable ASCII, and the backslash, as \xNN.
std::string Escaped(std::string_view bytes);

/// The text up to the first NUL, with bytes outside printable ASCII
/// escaped (\xNN), for readable output.
std::string Printable(const std::string& stored);

}  // namespace vostrel::tool
