// SIGINT and SIGTERM turned into a readable descriptor, so a loop can
// watch for an interrupt like any other input.
#pragma once

namespace vostrel::tool {

class Interrupts {
public:
    /// Installs the handlers (one instance per process at a time).
    Interrupts();
    /// Restores the default handlers.
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;
    /// Readable once an interrupt came.
    int Fd() const;
    /// Whether an interrupt has come.
    bool Pending() const;
};

}  // namespace vostrel::tool
