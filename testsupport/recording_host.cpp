#include "testsupport/recording_host.hpp"

#include <algorithm>

namespace vostrel::testing {

void RecordingHost::UnhandledError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        errors.emplace_back(e.what());
    } catch (...) {
        errors.emplace_back("unknown exception");
    }
}

std::size_t RecordingSink::Count(Event::Kind kind) const {
    return static_cast<std::size_t>(
        std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.kind == kind; }));
}

}  // namespace vostrel::testing
