#include "protocol/framing.hpp"

namespace vostrel::protocol {

String FramePacket(std::string_view telegram) {
    if (telegram.size() > kMaxTelegram)
        throw Error(err::kInvalidArgument,
                    "telegram of " + std::to_string(telegram.size()) +
                        " bytes is too long for a packet (255 at most)");
    String packet;
    packet.reserve(kHeaderSize + telegram.size());
    packet.push_back(static_cast<char>(telegram.size()));
    packet.push_back('\0');  // high byte: constant, never computed
    packet.append(telegram);
    return packet;
}

}  // namespace vostrel::protocol
