#include "protocol/telegrams.hpp"

#include <algorithm>

#include "protocol/framing.hpp"

namespace vostrel::protocol {

String MessageWriteValue(std::uint8_t inbox, Long value) {
    return String{kNoReply,
                  kMessageWrite,
                  static_cast<char>(inbox),
                  '\x05',
                  static_cast<char>(GetByte0(value)),
                  static_cast<char>(GetByte1(value)),
                  static_cast<char>(GetByte2(value)),
                  static_cast<char>(GetByte3(value)),
                  '\0'};
}

String MessageWriteText(std::uint8_t inbox, std::string_view text) {
    String t;
    t.reserve(text.size() + 5);
    t.push_back(kNoReply);
    t.push_back(kMessageWrite);
    t.push_back(static_cast<char>(inbox));
    t.push_back(static_cast<char>(text.size() + 1));
    t.append(text);
    t.push_back('\0');
    return t;
}

String PlayToneTelegram(Integer frequency, Integer duration) {
    return String{kReplyWanted,
                  kPlayTone,
                  static_cast<char>(GetByte0(frequency)),
                  static_cast<char>(GetByte1(frequency)),
                  static_cast<char>(GetByte0(duration)),
                  static_cast<char>(GetByte1(duration))};
}

bool IsKeepAliveQuery(std::string_view telegram) {
    return telegram.size() > 4 && telegram[4] == '?';
}

String KeepAliveEcho(std::string_view telegram) {
    String echo(telegram);
    std::replace(echo.begin(), echo.end(), '?', '!');
    return echo;
}

}  // namespace vostrel::protocol
