// The control's events, forwarded to a sink that takes them by dispatch id.
#include "vostrel/dispatch.hpp"

namespace vostrel {

void DispatchEvents::NoPing() { sink_.Invoke(dispid::kNoPing, {}); }

void DispatchEvents::NewMail(Integer& MailBox) {
    // By reference, as the event interface publishes it; the control hands
    // its own copy and does not read it back.
    Argument mailBox = Argument::Ref(MailBox);
    sink_.Invoke(dispid::kNewMail, std::span<Argument>(&mailBox, 1));
}

}  // namespace vostrel
