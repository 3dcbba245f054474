// Standard input, output and error made ready before any command runs. One
// file per system: posix_std_streams.cpp, win32_std_streams.cpp.
#pragma once

namespace vostrel::tool {

/// A closed standard input reads as end of input, and a failed write to
/// standard output is reported by the command rather than ending the
/// program silently.
void PrepareStandardStreams();

}  // namespace vostrel::tool
