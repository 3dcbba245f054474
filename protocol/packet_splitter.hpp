// Takes whole packets out of a received byte stream by their two-byte length
// header, however the reads split or join them.
#pragma once

#include <cstddef>
#include <string_view>

#include "vostrel/types.hpp"

namespace vostrel::protocol {

/// Length announced by the header at the start of `p` (at least 2 bytes).
inline std::size_t AnnouncedLength(std::string_view p) {
    return static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[1]) << 8);
}

/// Feeds the bytes of one read. Calls `onPacket(packet)` for every complete
/// packet (header included) in order; keeps an incomplete rest in `pending`
/// for the next read. A header announcing a packet larger than `limit`
/// bytes cannot come from a brick: what was collected is dropped, the rest
/// of this read included, and the next read starts afresh. So `pending`
/// never holds more than `limit` bytes.
///
/// `onPacket` may throw; the packets after it are then not taken, and
/// `pending` holds no bytes of them (the caller decides whether to go on by
/// catching inside `onPacket`).
template <class OnPacket>
void TakePackets(String& pending, std::string_view data, std::size_t limit,
                 OnPacket&& onPacket) {
    // Complete a packet begun in an earlier read.
    if (!pending.empty()) {
        if (pending.size() < 2) {
            std::size_t need = 2 - pending.size();
            std::size_t n = need < data.size() ? need : data.size();
            pending.append(data.substr(0, n));
            data.remove_prefix(n);
            if (pending.size() < 2) return;
        }
        std::size_t total = 2 + AnnouncedLength(pending);
        if (total > limit) {
            pending.clear();
            return;
        }
        std::size_t need = total - pending.size();
        if (data.size() < need) {
            pending.append(data);
            return;
        }
        pending.append(data.substr(0, need));
        data.remove_prefix(need);
        String packet;
        packet.swap(pending);
        onPacket(std::string_view(packet));
    }
    // Whole packets straight from the read, without copying.
    while (data.size() >= 2) {
        std::size_t total = 2 + AnnouncedLength(data);
        if (total > limit) return;  // drop the rest of this read
        if (data.size() < total) break;
        onPacket(data.substr(0, total));
        data.remove_prefix(total);
    }
    pending.assign(data);
}

}  // namespace vostrel::protocol
