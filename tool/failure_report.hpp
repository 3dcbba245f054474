// What the tool says on stderr when a method of the control fails: the
// control's status text, then why ("Connection error: cannot open
// /dev/rfcomm0: No such file or directory").
#pragma once

#include <ostream>

#include "vostrel/vostrel.hpp"

namespace vostrel::tool {

/// Writes "<status>: <reason>" for the control's last failed method.
inline void ReportFailure(std::ostream& err, const Vostrel& control) {
    err << control.ErrorMessage();
    if (control.LastError()) err << ": " << control.LastError()->what();
    err << std::endl;
}

}  // namespace vostrel::tool
