// Formatting listen's events.
#include "tool/event_output.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "sim/wire.hpp"
#include "vostrel/escaped_text.hpp"

namespace vostrel::tool {

namespace {
std::string TimeOfDay() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    // The standard call, not localtime_r, which Windows lacks: only the
    // loop's thread formats events.
    const std::tm tm = *std::localtime(&t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    return buf;
}

std::string TextPart(const std::string& stored) { return stored.substr(0, stored.find('\0')); }

std::string Dump(const nlohmann::json& j) {
    // Bytes that are not UTF-8 become U+FFFD in "text"; "hex" keeps them.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
}  // namespace

std::string Printable(const std::string& stored) { return Escaped(TextPart(stored)); }

std::string Escaped(std::string_view bytes) { return EscapedText(bytes); }

EventOutput::EventOutput(std::ostream& out, bool json)
    : emit_([&out](const std::string& line) { out << line << std::endl; }), json_(json) {}

std::string EventOutput::Stamped(const std::string& text) const {
    return json_ ? text : '[' + TimeOfDay() + "] " + text;
}

void EventOutput::Line(const std::string& text) { emit_(Stamped(text)); }

std::string EventOutput::DroppedLine(std::uint64_t count) const {
    if (json_) return Stamped(Dump({{"event", "dropped"}, {"lines", count}}));
    return Stamped("output: " + std::to_string(count) +
                   " lines dropped while standard output was not read");
}

void EventOutput::Connect(int result, const std::string& status) {
    if (json_)
        Line(Dump({{"event", "connect"}, {"result", result}, {"status", status}}));
    else
        Line("connect: " + status);
}

void EventOutput::Disconnect(int result, const std::string& status) {
    if (json_)
        Line(Dump({{"event", "disconnect"}, {"result", result}, {"status", status}}));
    else
        Line("disconnect: " + status);
}

void EventOutput::Mail(int mailbox, const std::string& stored) {
    if (json_)
        Line(Dump({{"event", "mail"},
                   {"mailbox", mailbox},
                   {"text", TextPart(stored)},
                   {"hex", sim::Hex(stored)}}));
    else
        Line("mail " + std::to_string(mailbox) + ": \"" + Printable(stored) + "\"");
}

void EventOutput::NoPing(const std::string& status) {
    if (json_)
        Line(Dump({{"event", "noping"}, {"status", status}}));
    else
        Line("NoPing: " + status);
}

void EventOutput::Sent(int mailbox, int result, const std::string& status) {
    if (json_)
        Line(Dump(
            {{"event", "sent"}, {"mailbox", mailbox}, {"result", result}, {"status", status}}));
    else
        Line("sent to " + std::to_string(mailbox) + ": " + status);
}

void EventOutput::Read(int mailbox, const std::string& stored) {
    if (json_)
        Line(Dump({{"event", "read"},
                   {"mailbox", mailbox},
                   {"text", TextPart(stored)},
                   {"hex", sim::Hex(stored)}}));
    else
        Line("read " + std::to_string(mailbox) + ": \"" + Printable(stored) + "\"");
}

void EventOutput::Error(const std::string& message) {
    if (json_)
        Line(Dump({{"event", "error"}, {"message", message}}));
    else
        Line("error: " + Escaped(message));
}

}  // namespace vostrel::tool
