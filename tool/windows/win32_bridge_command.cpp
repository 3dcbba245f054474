// `vostrel bridge` on Windows: the bridge runs on Linux only.
#include <iostream>

#include "tool/commands.hpp"

namespace vostrel::tool {

int RunBridge(const BridgeOptions&) {
    std::cerr << "vostrel: bridge runs on Linux only; run it on a Linux machine the bricks are "
                 "paired with (see docs/bridge.md)\n";
    return 1;
}

}  // namespace vostrel::tool
