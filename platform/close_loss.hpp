// The words of a close that could not send everything it had accepted, the
// same for every port. Internal to the platform layer.
#pragma once

#include <cstddef>
#include <string>

namespace vostrel::platform::detail {

/// "closed with N bytes of a packet not sent", or "of M packets" when the
/// bytes belong to more than one.
inline std::string ClosedWithLoss(std::size_t bytes, std::size_t packets) {
    return "closed with " + std::to_string(bytes) + " bytes of " +
           (packets > 1 ? std::to_string(packets) + " packets" : std::string("a packet")) +
           " not sent";
}

}  // namespace vostrel::platform::detail
