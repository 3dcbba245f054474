// The refusal of a packet that would take a port's held bytes beyond
// kOutputQueueBytes: the same check and words on every system. Internal to
// the platform layer.
#pragma once

#include <cstddef>
#include <string>

#include "vostrel/platform.hpp"

namespace vostrel::platform::detail {

/// Throws kDeviceIo when `waiting` bytes held and a packet of `packet` bytes
/// together exceed the bound: "the packet of N bytes is larger than the
/// output queue (M bytes)" when it would not fit even an empty queue, else
/// "the line is not taking bytes (N bytes waiting)".
inline void CheckOutputRoom(std::size_t waiting, std::size_t packet) {
    if (packet > kOutputQueueBytes)
        throw Error(err::kDeviceIo, "the packet of " + std::to_string(packet) +
                                        " bytes is larger than the output queue (" +
                                        std::to_string(kOutputQueueBytes) + " bytes)");
    if (waiting + packet > kOutputQueueBytes)
        throw Error(err::kDeviceIo,
                    "the line is not taking bytes (" + std::to_string(waiting) + " bytes waiting)");
}

}  // namespace vostrel::platform::detail
