// What listen prints: one line per event, as readable text with a time of
// day, or as one JSON object a line. Every line is flushed at once.
#pragma once

#include <ostream>
#include <string>

namespace vostrel::tool {

class EventOutput {
public:
    EventOutput(std::ostream& out, bool json) : out_(out), json_(json) {}

    void Connect(int result, const std::string& status);
    void Disconnect(int result, const std::string& status);
    /// `stored`: the mailbox text as the control holds it (NUL and all).
    void Mail(int mailbox, const std::string& stored);
    void NoPing(const std::string& status);
    void Sent(int mailbox, int result, const std::string& status);
    void Read(int mailbox, const std::string& stored);
    void Error(const std::string& message);

private:
    void Line(const std::string& text);
    std::ostream& out_;
    bool json_;
};

/// The text up to the first NUL, with bytes outside printable ASCII
/// escaped (\xNN), for readable output.
std::string Printable(const std::string& stored);

}  // namespace vostrel::tool
