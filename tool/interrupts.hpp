// SIGINT, SIGTERM and SIGHUP turned into a readable descriptor, so a loop
// can watch for an interrupt like any other input.
#pragma once

#include "vostrel/line_port.hpp"

namespace vostrel::tool {

class Interrupts {
public:
    /// Installs the handlers (one instance per process at a time). A hang-up
    /// (SIGHUP: the terminal closed, the ssh session dropped) counts as an
    /// interrupt, unless the tool was started with it ignored (`nohup`).
    Interrupts();
    /// Restores the handlers found at construction.
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;
    /// Readable once an interrupt came (-1 on Windows: there is none).
    int Fd() const;
    /// Signalled once an interrupt came: a Win32 event handle on Windows,
    /// nullptr elsewhere (where Fd() serves).
    void* Event() const;
    /// What a port's waits take to end once an interrupt came
    /// (platform::LinePort::CancelWaitsOn): Fd() or Event(), by system.
    platform::CancelSignal Signal() const;
    /// Whether an interrupt has come.
    bool Pending() const;
};

}  // namespace vostrel::tool
