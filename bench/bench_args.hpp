// Command-line numbers of the benchmark programs: a whole number in a range
// or the program stops with exit status 2 and says which limit was missed.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vostrel::bench {

/// `text` as a whole number from `lo` to `hi`; otherwise prints why on
/// stderr, naming `what`, and exits with status 2.
inline long long CountArg(const char* what, const char* text, long long lo, long long hi) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < lo || v > hi) {
        std::fprintf(stderr, "%s must be a whole number from %lld to %lld, not \"%s\" (--help)\n",
                     what, lo, hi, text);
        std::exit(2);
    }
    return v;
}

/// The value after option `argv[i]`, advancing `i`; exits 2 when it is missing.
inline const char* OptionValue(int argc, char** argv, int& i) {
    if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value (--help)\n", argv[i]);
        std::exit(2);
    }
    return argv[++i];
}

inline bool IsHelp(const char* arg) {
    return !std::strcmp(arg, "--help") || !std::strcmp(arg, "-h");
}

}  // namespace vostrel::bench
