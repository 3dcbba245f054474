// The receive path: every OnComm notification, filing texts into the
// mailboxes, answering keep-alive queries, and ReadText.
#include "protocol/framing.hpp"
#include "protocol/packet_splitter.hpp"
#include "protocol/telegrams.hpp"
#include "vostrel/vostrel.hpp"

namespace vostrel {

void Vostrel::Comm1_OnComm() {
    try {
        // Stopped while the notification is handled, so a slow NewMail
        // handler never causes a NoPing.
        pingTimer_->Enabled(kFalse);
        const String S = comm1_->Input();
        const std::uint64_t link = link_;
        protocol::TakePackets(pending_, S, [this, link](std::string_view packet) {
            // One packet's failure (a failed echo, a throwing handler) does
            // not cost the packets after it.
            try {
                HandlePacket(packet);
            } catch (...) {
                ReportUnhandled(std::current_exception());
            }
            return StillLink(link);
        });
    } catch (...) {
        ReportUnhandled(std::current_exception());
    }
    // Every notification counts as a sign of life, whether it was handled or
    // failed; a link the host closed meanwhile is not watched any more.
    try {
        if (comm1_->PortOpen() == kTrue) pingTimer_->Enabled(kTrue);
    } catch (...) {
        ReportUnhandled(std::current_exception());
    }
}

bool Vostrel::StillLink(std::uint64_t link) noexcept {
    // A handler that closed the port (or closed it and connected anew) ends
    // the read: its rest belongs to a link that is gone, and is neither
    // filed nor carried into the next one.
    if (link_ != link) return false;
    try {
        return comm1_->PortOpen() != kFalse;
    } catch (...) {
        return true;  // cannot tell: the read goes on; the check at its end reports the failure
    }
}

void Vostrel::HandlePacket(std::string_view packet) {
    // Shortest usable packet: header, four telegram header bytes, one
    // character and its NUL.
    if (packet.size() <= 7) return;
    const std::string_view T = packet.substr(protocol::kHeaderSize);
    if (T[1] != protocol::kMessageWrite) return;
    if (protocol::IsKeepAliveQuery(T)) {
        SendPacket(protocol::KeepAliveEcho(T));
        return;
    }
    StoreMail(T);
}

void Vostrel::StoreMail(std::string_view Packet) {
    const auto N = static_cast<Integer>(static_cast<unsigned char>(Packet[2]));
    if (N > 9 || N < 0) return;
    // From the first message byte to the end: the closing NUL stays in.
    Mailbox(N).assign(Packet.substr(4));
    RaiseNewMail(N);
}

String Vostrel::ReadText(ByRef<Integer> MsgBox) {
    Integer& msgBox = MsgBox.get();
    if (msgBox == INT16_MIN) throw Error(err::kOverflow);
    if (msgBox < 0) msgBox = static_cast<Integer>(-msgBox);
    if (msgBox <= 9) {
        String& slot = Mailbox(msgBox);
        String text = std::move(slot);
        slot.clear();
        return text;
    }
    return "Error!";
}

}  // namespace vostrel
