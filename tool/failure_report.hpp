// What the tool says on stderr when a method of the control fails: the
// control's status text, then why ("Connection error: cannot open
// /dev/rfcomm0: No such file or directory").
#pragma once

#include <ostream>
#include <string>

#include "vostrel/vostrel.hpp"

namespace vostrel::tool {

/// "<status>: <reason>" for the control's last failed method, without a
/// line break.
inline std::string FailureLine(const Vostrel& control) {
    std::string line = control.ErrorMessage();
    if (control.LastError()) line += ": " + std::string(control.LastError()->what());
    return line;
}

/// Writes FailureLine and a line break as one write, so lines another
/// thread writes to the same terminal or pipe never land inside it.
inline void ReportFailure(std::ostream& err, const Vostrel& control) {
    const std::string line = FailureLine(control) + '\n';
    err.write(line.data(), static_cast<std::streamsize>(line.size()));
    err.flush();
}

}  // namespace vostrel::tool
