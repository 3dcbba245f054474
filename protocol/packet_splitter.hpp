// Takes whole packets out of a received byte stream by their two-byte length
// header, however the reads split or join them, and finds its way back into
// step after bytes that are no brick's.
#pragma once

#include <cstddef>
#include <string_view>

#include "vostrel/types.hpp"

namespace vostrel::protocol {

/// The shortest telegram a brick sends: a reply, 02 <command> <status>.
inline constexpr std::size_t kMinBrickTelegram = 3;
/// The longest telegram a brick sends (a MESSAGEWRITE of 58 bytes and its NUL
/// is 63; the firmware's direct-command limit is 64).
inline constexpr std::size_t kMaxBrickTelegram = 64;
/// The most bytes the splitter ever keeps between reads: one header and all
/// but the last byte of the longest telegram.
inline constexpr std::size_t kMaxPending = 2 + kMaxBrickTelegram - 1;

/// Length announced by the header at the start of `p` (at least 2 bytes).
inline std::size_t AnnouncedLength(std::string_view p) {
    return static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[1]) << 8);
}

/// Whether the two bytes at the start of `p` can be a brick's header: a
/// telegram of kMinBrickTelegram to kMaxBrickTelegram bytes.
inline bool PlausibleHeader(std::string_view p) {
    const std::size_t n = AnnouncedLength(p);
    return n >= kMinBrickTelegram && n <= kMaxBrickTelegram;
}

/// Feeds the bytes of one read. Calls `onPacket(packet)` for every complete
/// packet (header included) in order, and keeps an incomplete rest in
/// `pending` for the next read (never more than kMaxPending bytes).
///
/// `onPacket` returns whether to go on. False ends the read there: the
/// bytes after that packet are dropped and `pending` is left empty (the
/// link they came from is gone; nothing of it may reach the next one).
///
/// A header no brick sends (see PlausibleHeader) is garbage: its first byte
/// is skipped and the next byte is tried as the start of a header, so a good
/// packet that follows garbage in the same read is still taken.
///
/// `onPacket` may throw; the packets after it are then not taken, and
/// `pending` holds no bytes of them (the caller decides whether to go on by
/// catching inside `onPacket`).
template <class OnPacket>
void TakePackets(String& pending, std::string_view data, OnPacket&& onPacket) {
    // A header byte left over from the last read: with its partner it is
    // either a plausible header, or garbage to skip.
    if (pending.size() == 1 && !data.empty()) {
        const char header[2] = {pending[0], data[0]};
        if (PlausibleHeader(std::string_view(header, 2))) {
            pending.push_back(data[0]);
            data.remove_prefix(1);
        } else {
            pending.clear();
        }
    }
    // Complete a packet begun in an earlier read.
    if (pending.size() >= 2) {
        const std::size_t total = 2 + AnnouncedLength(pending);
        const std::size_t need = total - pending.size();
        if (data.size() < need) {
            pending.append(data);
            return;
        }
        pending.append(data.substr(0, need));
        data.remove_prefix(need);
        String packet;
        packet.swap(pending);
        if (!onPacket(std::string_view(packet))) {
            pending.clear();
            return;
        }
    }
    if (!pending.empty()) return;  // one header byte, and nothing more came
    // Whole packets straight from the read, without copying.
    while (data.size() >= 2) {
        if (!PlausibleHeader(data)) {
            data.remove_prefix(1);
            continue;
        }
        const std::size_t total = 2 + AnnouncedLength(data);
        if (data.size() < total) break;
        if (!onPacket(data.substr(0, total))) {
            pending.clear();
            return;
        }
        data.remove_prefix(total);
    }
    pending.assign(data);
}

}  // namespace vostrel::protocol
