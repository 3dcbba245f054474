// The rest of a packet a close left on a device: kept in this process, by
// the device's identity, for whichever port opens that device next, so it
// goes out before anything new. Internal to the platform layer.
//
// Why the rest is sent rather than dropped: the far end of a tty (a
// pseudo-terminal, a serial adapter, an rfcomm device another program keeps
// connected) keeps the part it has, and frames by the length header; a new
// packet written after it would be read as the old packet's tail, and the
// packet after that misframed. Sending the rest first gives the far end the
// old packet whole and every new one framed. The identity is the device's
// node (file system, inode, device number and the node's change time), so a
// new pseudo-terminal that reuses a number, or a device plugged in again,
// starts clean. Another process opening the device does not know of it.
#pragma once

#include <string>

namespace vostrel::platform::detail {

/// Keeps `rest` for the next open of the device open on `fd`, in place of
/// what was kept for it. Does nothing when the system cannot say what `fd`
/// is. At most kOutputQueueBytes are kept per device, for at most a few
/// dozen devices (the oldest record goes first). Thread-safe.
void KeepUnfinishedPacket(int fd, std::string rest) noexcept;

/// What was kept for the device open on `fd`, taken away; "" when nothing.
/// Thread-safe.
std::string TakeUnfinishedPacket(int fd);

}  // namespace vostrel::platform::detail
