// The three persisted properties: initialise, restore, save.
#include "vostrel/vostrel.hpp"

namespace vostrel {

namespace {
// Keys and defaults, in the order all three steps treat them.
constexpr const char* kConnectionKey = "Connection";
constexpr const char* kErrorMessageKey = "ErrorMessage";
constexpr const char* kPingNXTKey = "PingNXT";
constexpr Boolean kConnectionDefault = kFalse;
constexpr const char* kErrorMessageDefault = "";
constexpr Boolean kPingNXTDefault = kTrue;
}  // namespace

void Vostrel::UserControl_InitProperties() {
    // Straight into the fields: no guard, no change notification.
    connection_ = kConnectionDefault;
    errorMessage_ = kErrorMessageDefault;
    pingNXT_ = kPingNXTDefault;
}

void Vostrel::UserControl_ReadProperties(PropertyBag& bag) {
    connection_ = bag.ReadProperty(kConnectionKey, kConnectionDefault).ToBoolean();
    errorMessage_ = bag.ReadProperty(kErrorMessageKey, kErrorMessageDefault).ToString();
    pingNXT_ = bag.ReadProperty(kPingNXTKey, kPingNXTDefault).ToBoolean();
}

void Vostrel::UserControl_WriteProperties(PropertyBag& bag) {
    bag.WriteProperty(kConnectionKey, connection_, kConnectionDefault);
    bag.WriteProperty(kErrorMessageKey, errorMessage_, kErrorMessageDefault);
    bag.WriteProperty(kPingNXTKey, pingNXT_, kPingNXTDefault);
}

}  // namespace vostrel
