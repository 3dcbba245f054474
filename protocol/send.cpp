// Outgoing telegrams: the one writer to the port and the methods that build
// what it writes.
#include "protocol/framing.hpp"
#include "protocol/telegrams.hpp"
#include "vostrel/vostrel.hpp"

namespace vostrel {

namespace {
constexpr const char* kOk = "No errores";
constexpr const char* kSendFailed = "Error parameters for send";
}  // namespace

void Vostrel::SendPacket(const String& Packet) {
    comm1_->Output(protocol::FramePacket(Packet));
}

void Vostrel::PlayTone(Integer& Frequency, Integer& Duration) {
    SendPacket(protocol::PlayToneTelegram(Frequency, Duration));
}

Integer Vostrel::SendValue(ByRef<Integer> MailBox, ByRef<Long> Value) {
    Integer& mailBox = MailBox.get();
    Long& value = Value.get();
    try {
        if (mailBox < 0 || mailBox > 9) throw Error(err::kInvalidArgument);
        if (value == INT32_MIN) throw Error(err::kOverflow);
        if (value < 0) value = -value;
        SendPacket(protocol::MessageWriteValue(static_cast<std::uint8_t>(mailBox), value));
        ErrorMessage(kOk);
        return 0;
    } catch (...) {
        ErrorMessage(kSendFailed);
        return 1;
    }
}

Integer Vostrel::SendText(ByRef<Integer> MailBox, ByRef<String> Mail) {
    Integer& mailBox = MailBox.get();
    const String& mail = Mail.get();
    try {
        // The size byte counts the closing NUL; a 16-bit size overflows first.
        if (mail.size() >= 32767) throw Error(err::kOverflow);
        if (mail.size() + 1 > protocol::kMaxText + 1) throw Error(err::kInvalidArgument);
        if (mailBox == INT16_MIN) throw Error(err::kOverflow);
        if (mailBox < 0) mailBox = static_cast<Integer>(-mailBox);
        if (mailBox > 9) throw Error(err::kInvalidArgument);
        SendPacket(protocol::MessageWriteText(static_cast<std::uint8_t>(mailBox), mail));
        ErrorMessage(kOk);
        return 0;
    } catch (...) {
        ErrorMessage(kSendFailed);
        return 1;
    }
}

}  // namespace vostrel
