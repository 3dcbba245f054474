// Outgoing telegrams: the one writer to the port and the methods that build
// what it writes.
#include <string>

#include "protocol/framing.hpp"
#include "protocol/telegrams.hpp"
#include "vostrel/vostrel.hpp"

namespace vostrel {

namespace {
constexpr const char* kOk = "No errores";
constexpr const char* kSendFailed = "Error parameters for send";

std::string MailboxOutOfRange(Integer mailBox) {
    return "mailbox " + std::to_string(mailBox) + " is outside 0 to 9";
}

std::string TextTooLong(std::size_t bytes) {
    return "a text of " + std::to_string(bytes) + " bytes is longer than " +
           std::to_string(protocol::kMaxText);
}
}  // namespace

void Vostrel::SendPacket(const String& Packet) { comm1_->Output(protocol::FramePacket(Packet)); }

void Vostrel::PlayTone(Integer& Frequency, Integer& Duration) {
    SendPacket(protocol::PlayToneTelegram(Frequency, Duration));
}

Integer Vostrel::SendValue(ByRef<Integer> MailBox, ByRef<Long> Value) {
    Integer& mailBox = MailBox.get();
    Long& value = Value.get();
    lastError_.reset();
    try {
        if (mailBox < 0 || mailBox > 9)
            throw Error(err::kInvalidArgument, MailboxOutOfRange(mailBox));
        if (value == INT32_MIN)
            throw Error(err::kOverflow,
                        "the absolute value of -2147483648 does not fit in 32 bits");
        if (value < 0) value = -value;
        SendPacket(protocol::MessageWriteValue(static_cast<std::uint8_t>(mailBox), value));
        ErrorMessage(kOk);
        return 0;
    } catch (...) {
        RememberFailure(std::current_exception());
        ErrorMessage(kSendFailed);
        return 1;
    }
}

Integer Vostrel::SendText(ByRef<Integer> MailBox, ByRef<String> Mail) {
    Integer& mailBox = MailBox.get();
    const String& mail = Mail.get();
    lastError_.reset();
    try {
        // The size byte counts the closing NUL; a 16-bit size overflows first.
        if (mail.size() >= 32767) throw Error(err::kOverflow, TextTooLong(mail.size()));
        if (mail.size() + 1 > protocol::kMaxText + 1)
            throw Error(err::kInvalidArgument, TextTooLong(mail.size()));
        if (mailBox == INT16_MIN)
            throw Error(err::kOverflow,
                        "the absolute value of mailbox -32768 does not fit in 16 bits");
        if (mailBox < 0) mailBox = static_cast<Integer>(-mailBox);
        if (mailBox > 9) throw Error(err::kInvalidArgument, MailboxOutOfRange(mailBox));
        SendPacket(protocol::MessageWriteText(static_cast<std::uint8_t>(mailBox), mail));
        ErrorMessage(kOk);
        return 0;
    } catch (...) {
        RememberFailure(std::current_exception());
        ErrorMessage(kSendFailed);
        return 1;
    }
}

}  // namespace vostrel
