// `vostrel bridge` in a build that found no libmosquitto.
#include <iostream>

#include "tool/commands.hpp"

namespace vostrel::tool {

int RunBridge(const BridgeOptions&) {
    std::cerr << "vostrel: bridge is not in this build: it was built without libmosquitto, the "
                 "MQTT client library (Debian: libmosquitto-dev); install it and build again\n";
    return 1;
}

}  // namespace vostrel::tool
