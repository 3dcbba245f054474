// Bytes the program holds on the heap right now, so a fuzz target can check
// that the control's memory stays bounded however long the stream runs
// (glibc and the sanitizer's allocator; elsewhere 0, nothing checked).
#pragma once

#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOSTREL_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VOSTREL_FUZZ_ASAN 1
#endif

#ifdef VOSTREL_FUZZ_ASAN
// Declared here rather than through <sanitizer/allocator_interface.h>: g++
// ships the runtime that defines it but not that header.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vostrel::fuzz {

inline std::size_t HeapInUse() {
#ifdef VOSTREL_FUZZ_ASAN
    // The sanitizer's allocator replaces malloc; its own count is exact.
    return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
    return mallinfo2().uordblks;
#else
    return 0;  // not counted here (the Windows builds' replays): no bound checked
#endif
}

}  // namespace vostrel::fuzz
