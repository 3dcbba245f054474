// Parsing listen's stdin commands.
#include "tool/stdin_command.hpp"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace vostrel::tool {

namespace {
StdinCommand Bad(std::string why) {
    StdinCommand c;
    c.kind = StdinCommand::Kind::Bad;
    c.error = std::move(why);
    return c;
}

// A whole decimal number in [lo, hi], or false.
bool ParseNumber(std::string_view s, long long lo, long long hi, long long& out) {
    if (s.empty() || s.size() > 20) return false;
    const std::string copy(s);
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(copy.c_str(), &end, 10);
    if (errno != 0 || end != copy.c_str() + copy.size() || copy[0] == '+' || copy[0] == ' ')
        return false;
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

std::string_view NextWord(std::string_view& rest) {
    const std::size_t end = rest.find(' ');
    std::string_view w = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return w;
}
}  // namespace

StdinCommand ParseCommand(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) return {};
    std::string_view rest = line;
    const std::string_view word = NextWord(rest);
    StdinCommand c;
    if (word == "disconnect" || word == "connect" || word == "quit") {
        if (rest.find_first_not_of(" \t") != std::string_view::npos)
            return Bad(std::string(word) + " takes no arguments");
        c.kind = word == "quit"      ? StdinCommand::Kind::Quit
                 : word == "connect" ? StdinCommand::Kind::Connect
                                     : StdinCommand::Kind::Disconnect;
        return c;
    }
    if (word != "text" && word != "value" && word != "read")
        return Bad("unknown command \"" + std::string(word) +
                   "\" (text, value, read, disconnect, connect, quit)");
    long long n = 0;
    const std::string_view box = NextWord(rest);
    if (!ParseNumber(box, 0, kMaxMailbox, n))
        return Bad(std::string(word) + ": mailbox must be a whole number from 0 to " +
                   std::to_string(kMaxMailbox));
    c.mailbox = static_cast<Integer>(n);
    if (word == "text") {
        if (rest.size() > kMaxTextBytes)
            return Bad("text: at most " + std::to_string(kMaxTextBytes) + " bytes (this one has " +
                       std::to_string(rest.size()) + ")");
        c.kind = StdinCommand::Kind::Text;
        c.text = std::string(rest);
    } else if (word == "value") {
        if (!ParseNumber(rest, 0, std::numeric_limits<Long>::max(), n))
            return Bad("value: number must be a whole number from 0 to 2147483647");
        c.kind = StdinCommand::Kind::Value;
        c.value = static_cast<Long>(n);
    } else {
        if (!rest.empty()) return Bad("read takes only a mailbox");
        c.kind = StdinCommand::Kind::Read;
    }
    return c;
}

}  // namespace vostrel::tool
