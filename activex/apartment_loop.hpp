// One event loop per apartment thread: the controls of a thread deliver
// their serial port and watchdog notifications through that thread's
// message queue. Created with the thread's first object, kept while any
// object of the thread lives.
#pragma once

#include <functional>
#include <memory>

#include "vostrel/vostrel.hpp"

namespace vostrel::activex {

class ApartmentLoop {
public:
    virtual ~ApartmentLoop() = default;
    /// A new control on this loop's real serial port and timer; `host`
    /// answers its run-mode flag and takes its change notifications.
    virtual std::unique_ptr<Vostrel> MakeControl(HostSite& host) = 0;
    /// Runs `fn` from the thread's message queue, after whatever runs now
    /// has returned. Throws vostrel::Error when the queue refuses it.
    virtual void Post(std::function<void()> fn) = 0;
};

/// The calling thread's loop, made on first use. Throws vostrel::Error
/// when the system refuses it.
std::shared_ptr<ApartmentLoop> CurrentApartmentLoop();

}  // namespace vostrel::activex
