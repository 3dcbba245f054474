// Opening and closing the serial link.
#include <string>

#include "vostrel/vostrel.hpp"

namespace vostrel {

Integer Vostrel::ConnectNXT(ByRef<Integer> PortNumber, ByRef<Integer> BoudRate) {
    const Integer portNumber = PortNumber.get();
    const Integer boudRate = BoudRate.get();
    Integer result = 0;
    lastError_.reset();
    try {
        // On an open port this refuses, and the old link stays as it was.
        comm1_->CommPort(portNumber);
        comm1_->Settings(std::to_string(boudRate) + ",n,8,1");
        comm1_->PortOpen(kTrue);
        pending_.clear();  // nothing half-received belongs to a new link
        Integer frequency = 1000;
        Integer duration = 500;
        PlayTone(frequency, duration);
        pingTimer_->Enabled(kTrue);
        Connection(kTrue);
        result = 0;
        ErrorMessage("No errores");
        return result;
    } catch (...) {
        RememberFailure(std::current_exception());
        ErrorMessage("Connection error");
        result = 1;
        Connection(kFalse);
        return result;
    }
}

Integer Vostrel::DisconnectNXT() {
    Integer result = 0;
    lastError_.reset();
    // Nothing half-received survives the link: the next one starts afresh.
    pending_.clear();
    try {
        if (comm1_->PortOpen() == kTrue) comm1_->PortOpen(kFalse);
        Connection(kFalse);
        result = 0;
        pingTimer_->Enabled(kFalse);
        ErrorMessage("No errores");
        return result;
    } catch (...) {
        RememberFailure(std::current_exception());
        ErrorMessage("Comm error");
        result = 1;
        return result;
    }
}

}  // namespace vostrel
