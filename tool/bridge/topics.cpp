// Topic names, the command topics' parsing and the checks of payloads.
#include "tool/bridge/topics.hpp"

#include <cstdio>

namespace vostrel::tool::bridge {

namespace {

bool NameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == ':';
}

void Hex(std::string& out, const char* form, unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, form, c);
    out += buf;
}

void JsonString(std::string& out, std::string_view text) {
    out += '"';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7F) {
            Hex(out, "\\u%04x", c);
        } else {
            out += ch;
        }
    }
    out += '"';
}

// Splits at the first '/'; the rest is empty when there is none.
std::pair<std::string_view, std::string_view> Level(std::string_view s) {
    const auto slash = s.find('/');
    if (slash == std::string_view::npos) return {s, {}};
    return {s.substr(0, slash), s.substr(slash + 1)};
}

}  // namespace

bool ValidBrickName(std::string_view name) {
    if (name.empty() || name.size() > kMaxName || name == kBridgeLevel) return false;
    for (const char c : name)
        if (!NameByte(c)) return false;
    return true;
}

bool ValidPrefix(std::string_view prefix) {
    if (prefix.empty() || prefix.size() > kMaxName || prefix.front() == '/' ||
        prefix.back() == '/' || prefix.find("//") != std::string_view::npos)
        return false;
    for (const char c : prefix)
        if (!NameByte(c) && c != '/') return false;
    return true;
}

std::string NameFromPort(std::string_view port) {
    const auto slash = port.find_last_of('/');
    if (slash != std::string_view::npos && slash + 1 < port.size()) port = port.substr(slash + 1);
    std::string name(port.substr(0, kMaxName));
    for (char& c : name)
        if (!NameByte(c)) c = '_';
    if (name.empty() || name == kBridgeLevel) name = "brick" + name;
    return name;
}

std::string Topics::State(std::string_view brick) const {
    return prefix_ + '/' + std::string(brick) + "/state";
}
std::string Topics::StateReason(std::string_view brick) const { return State(brick) + "/reason"; }
std::string Topics::Mail(std::string_view brick, int mailbox) const {
    return prefix_ + '/' + std::string(brick) + "/mailbox/" + std::to_string(mailbox);
}
std::string Topics::Error(std::string_view brick) const {
    return prefix_ + '/' + std::string(brick) + "/error";
}
std::string Topics::Dropped(std::string_view brick) const {
    return prefix_ + '/' + std::string(brick) + "/dropped";
}

std::optional<Topics::Command> Topics::ParseCommand(std::string_view topic) const {
    if (topic.size() <= prefix_.size() + 1 || topic.substr(0, prefix_.size()) != prefix_ ||
        topic[prefix_.size()] != '/')
        return std::nullopt;
    auto [brick, rest] = Level(topic.substr(prefix_.size() + 1));
    auto [mailboxLevel, afterMailbox] = Level(rest);
    if (brick.empty() || mailboxLevel != "mailbox") return std::nullopt;
    auto [box, tail] = Level(afterMailbox);
    Command c;
    if (tail == "set") {
        c.kind = Command::Kind::Text;
    } else if (tail == "value/set") {
        c.kind = Command::Kind::Value;
    } else {
        return std::nullopt;
    }
    c.brick = std::string(brick.substr(0, kMaxName + 1));
    c.mailboxText = std::string(box.substr(0, 16));
    if (box.size() == 1 && box[0] >= '0' && box[0] <= '9') c.mailbox = box[0] - '0';
    return c;
}

std::optional<Long> ParseNumber(std::string_view p) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!p.empty() && space(p.front())) p.remove_prefix(1);
    while (!p.empty() && space(p.back())) p.remove_suffix(1);
    bool negative = false;
    if (!p.empty() && p.front() == '-') {
        negative = true;
        p.remove_prefix(1);
    }
    if (p.empty() || p.size() > 10) return std::nullopt;
    long long v = 0;
    for (const char c : p) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v > 2147483647LL) return std::nullopt;
    return static_cast<Long>(negative ? -v : v);
}

std::string TextRefusal(std::string_view payload) {
    if (payload.size() > kMaxTextBytes)
        return "the text has " + std::to_string(payload.size()) +
               " bytes; a mailbox takes at most " + std::to_string(kMaxTextBytes);
    if (payload.find('\0') != std::string_view::npos)
        return "the text holds a NUL byte (the brick would end the text there)";
    return {};
}

std::string ErrorPayload(std::string_view topic, std::string_view reason,
                         std::string_view payload) {
    std::string out = "{\"topic\":";
    JsonString(out, topic.substr(0, 4 * kMaxEchoed));
    out += ",\"reason\":";
    JsonString(out, reason);
    out += ",\"payload\":";
    JsonString(out, payload.substr(0, kMaxEchoed));
    out += ",\"bytes\":" + std::to_string(payload.size()) + "}";
    return out;
}

std::string Printable(std::string_view text, std::size_t max) {
    std::string out;
    for (const char ch : text.substr(0, max)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            Hex(out, "\\x%02x", c);
        } else {
            out += ch;
        }
    }
    if (text.size() > max) out += "...";
    return out;
}

}  // namespace vostrel::tool::bridge
