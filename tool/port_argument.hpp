// A port given on the command line: a number, mapped as the platform layer
// maps it, or a device path or brick, mapped to a number of its own.
#pragma once

#include <string>

#include "vostrel/platform.hpp"

namespace vostrel::tool {

struct PortChoice {
    Integer number = 0;
    platform::PortMap map;
    std::string path;  // the device the number names
};

/// "3" -> port 3 (/dev/rfcomm3 on Linux); "/dev/pts/4" -> port 1 mapped to
/// that path; on Linux "NXT" or "00:16:53:0A:1B:2C" -> port 1 mapped to that
/// brick (path ""). Throws std::invalid_argument for an empty text or a number
/// outside -32768 to 32767.
PortChoice ResolvePort(const std::string& text);

/// `text` as one word a POSIX shell reads back unchanged: as it is when
/// every byte is one no shell treats specially (letters, digits, and
/// _@%+=:,./-), else between single quotes (a quote inside as '\'').
/// For printable text: the caller shows other bytes escaped instead.
std::string ShellWord(const std::string& text);

}  // namespace vostrel::tool
