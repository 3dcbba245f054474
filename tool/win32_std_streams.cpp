// Standard streams on Windows: nothing to prepare. A process started
// without standard input gets no handle, whose read fails and is taken as
// end of input; a write to a pipe whose reader went away fails with an
// error (Windows has no SIGPIPE).
#include "tool/std_streams.hpp"

namespace vostrel::tool {

void PrepareStandardStreams() {}

}  // namespace vostrel::tool
