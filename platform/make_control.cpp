// The factory: a control on a real port and timer.
#include "vostrel/platform.hpp"

namespace vostrel::platform {

std::unique_ptr<Vostrel> MakeControl(EventLoop& loop, HostSite* host, PortMap ports) {
    auto control = std::make_unique<Vostrel>(std::make_unique<Port>(loop, std::move(ports)),
                                             std::make_unique<LoopTimer>(loop), host);
    control->UserControl_InitProperties();
    return control;
}

LinePort& LinePortOf(Vostrel& control) { return dynamic_cast<LinePort&>(control.Comm1()); }

}  // namespace vostrel::platform
