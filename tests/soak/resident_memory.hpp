// The process's resident memory, for checking that a long run stays flat.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <fstream>

namespace vostrel::soak {

/// Resident set size in bytes (0 where /proc is not there).
inline std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    if (!(statm >> pages >> resident)) return 0;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace vostrel::soak
