// Builds without sd-bus: BlueZ cannot be asked, so the listing says why.
#include "vostrel/bluetooth.hpp"

namespace vostrel::platform {

BluetoothListing ListBluetoothDevices(int) {
    BluetoothListing out;
    out.unavailable = "this build of vostrel cannot ask BlueZ (built without libsystemd's sd-bus)";
    return out;
}

}  // namespace vostrel::platform
