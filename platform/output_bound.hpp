// The refusal of a packet that would take a port's held bytes beyond
// kOutputQueueBytes: the same check and words on every system. Internal to
// the platform layer.
#pragma once

#include <cstddef>
#include <string>

#include "vostrel/platform.hpp"

namespace vostrel::platform::detail {

/// Throws kDeviceIo, "the line is not taking bytes (N bytes waiting)", when
/// `waiting` bytes held and a packet of `packet` bytes together exceed the
/// bound.
inline void CheckOutputRoom(std::size_t waiting, std::size_t packet) {
    if (waiting + packet > kOutputQueueBytes)
        throw Error(err::kDeviceIo,
                    "the line is not taking bytes (" + std::to_string(waiting) + " bytes waiting)");
}

}  // namespace vostrel::platform::detail
