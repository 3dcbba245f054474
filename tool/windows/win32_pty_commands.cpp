// `vostrel sim` and `vostrel demo` on Windows: the simulated brick lives on
// a pseudo-terminal, which Windows has not.
#include <iostream>

#include "tool/commands.hpp"

namespace vostrel::tool {

namespace {
int NeedsPseudoTerminal(const char* command) {
    std::cerr << "vostrel: " << command
              << " needs a pseudo-terminal, which Windows does not have; run it on Linux, or "
                 "connect a real brick (vostrel ports, vostrel listen -p N)\n";
    return 2;
}
}  // namespace

int RunSim(const SimOptions&) { return NeedsPseudoTerminal("sim"); }

int RunDemo(std::ostream&) { return NeedsPseudoTerminal("demo"); }

}  // namespace vostrel::tool
