// Standard input, output and error made ready before any command runs. One
// file per system: posix_std_streams.cpp, win32_std_streams.cpp.
#pragma once

#include <cstdio>
#include <string>

namespace vostrel::tool {

/// A closed standard input reads as end of input, and a failed write to
/// standard output is reported by the command rather than ending the
/// program silently.
void PrepareStandardStreams();

/// Writes all of `bytes` to `stream` and flushes it. "" when done, else
/// the system's reason, as exact as it gives one (on Windows its own error,
/// which the C library would blur: a reader that went away reads as
/// "Invalid argument" there).
std::string WriteAndFlush(std::FILE* stream, const std::string& bytes);

/// Writes all `size` bytes at `data` to the descriptor `fd`. "" when done,
/// else the system's reason, as exact as WriteAndFlush's.
std::string WriteAll(int fd, const char* data, std::size_t size);

}  // namespace vostrel::tool
