// Opening and closing the serial link.
#include <string>

#include "vostrel/vostrel.hpp"

namespace vostrel {

Integer Vostrel::ConnectNXT(ByRef<Integer> PortNumber, ByRef<Integer> BoudRate) {
    const Integer portNumber = PortNumber.get();
    const Integer boudRate = BoudRate.get();
    Integer result = 0;
    lastError_.reset();
    bool opened = false;
    try {
        // On an open port this refuses, and the old link stays as it was.
        comm1_->CommPort(portNumber);
        comm1_->Settings(std::to_string(boudRate) + ",n,8,1");
        comm1_->PortOpen(kTrue);
        opened = true;
        ++link_;
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
        // A failed connect holds no device: a port this call opened is
        // closed again (the line's settings put back) before the status
        // setters, which may throw in design mode, so a retry or another
        // program can have it. A port that was open before is the live link
        // and is left alone.
        if (opened) CloseFailedLink();
        ErrorMessage("Connection error");
        result = 1;
        Connection(kFalse);
        return result;
    }
}

void Vostrel::CloseFailedLink() noexcept {
    ++link_;
    pending_.clear();
    // The cause of the failure is already kept; what closing says (bytes of
    // the tone it could not send) adds nothing to it.
    try {
        comm1_->PortOpen(kFalse);
    } catch (...) {
    }
    StopWatchdogIfClosed();
}

bool Vostrel::StopWatchdogIfClosed() noexcept {
    bool closed = false;
    try {
        closed = comm1_->PortOpen() == kFalse;
    } catch (...) {
        return false;  // cannot tell: nothing is changed
    }
    if (closed) {
        try {
            pingTimer_->Enabled(kFalse);
        } catch (...) {
            // A closed port is not watched; a timer that cannot stop is not
            // the link's state, which is what the caller reports.
        }
    }
    return closed;
}

Integer Vostrel::DisconnectNXT() {
    Integer result = 0;
    lastError_.reset();
    // Nothing half-received survives the link, and a read being handled
    // goes no further: the next link starts afresh.
    pending_.clear();
    ++link_;
    try {
        if (comm1_->PortOpen() == kTrue) comm1_->PortOpen(kFalse);
        Connection(kFalse);
        result = 0;
        pingTimer_->Enabled(kFalse);
        ErrorMessage("No errores");
        return result;
    } catch (...) {
        RememberFailure(std::current_exception());
        // A close that had to throw bytes away still closed: the state says
        // so, whatever the result says. A port still open keeps both.
        if (StopWatchdogIfClosed() && connection_ != kFalse) Connection(kFalse);
        ErrorMessage("Comm error");
        result = 1;
        return result;
    }
}

}  // namespace vostrel
