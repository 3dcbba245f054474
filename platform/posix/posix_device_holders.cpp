// Systems without a /proc that lists every process's descriptors: no other
// holder can be seen; the advisory lock and the tty's exclusive mode remain.
#include "platform/device_holders.hpp"

namespace vostrel::platform::detail {

std::optional<DeviceHolder> FindOtherHolder(int) { return std::nullopt; }

}  // namespace vostrel::platform::detail
