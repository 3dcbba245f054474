// A control on in-memory components, with the components still at hand.
#pragma once

#include <memory>

#include "testsupport/memory_comm.hpp"
#include "testsupport/memory_timer.hpp"
#include "testsupport/recording_host.hpp"

namespace vostrel::testing {

struct MemoryControl {
    RecordingHost host;
    RecordingSink sink;
    MemoryComm* comm;
    MemoryTimer* timer;
    std::unique_ptr<Vostrel> control;

    /// A new instance: created, then its properties initialised.
    MemoryControl() {
        auto c = std::make_unique<MemoryComm>();
        auto t = std::make_unique<MemoryTimer>();
        comm = c.get();
        timer = t.get();
        control = std::make_unique<Vostrel>(std::move(c), std::move(t), &host);
        control->SetEventSink(&sink);
        control->UserControl_InitProperties();
    }
    Vostrel& operator*() { return *control; }
    Vostrel* operator->() { return control.get(); }
};

}  // namespace vostrel::testing
