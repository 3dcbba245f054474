// Linux: every process's open descriptors are listed under /proc/PID/fd.
// Following each link with stat() names the device it opens; a descriptor
// of the pseudo-terminal master says in /proc/PID/fdinfo which terminal it
// serves ("tty-index").
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/device_holders.hpp"

namespace vostrel::platform::detail {

namespace {

// Unix98 pseudo-terminal slaves: majors 136 to 143, index = minor + 256 * (major - 136).
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;
// /dev/ptmx, the master side's multiplexer.
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;

long PtyIndex(dev_t rdev) {
    const unsigned major = ::major(rdev);
    if (major < kPtySlaveMajorFirst || major > kPtySlaveMajorLast) return -1;
    return static_cast<long>(::minor(rdev) + 256 * (major - kPtySlaveMajorFirst));
}

bool IsNumber(const char* s) {
    if (*s == '\0') return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

// The pseudo-terminal a master descriptor serves, -1 when it says none.
long ServedPty(const std::string& pidDir, const char* fd) {
    std::ifstream info(pidDir + "/fdinfo/" + fd);
    std::string key;
    while (info >> key) {
        if (key == "tty-index:") {
            long index = -1;
            info >> index;
            return index;
        }
    }
    return -1;
}

std::string ProgramName(const std::string& pidDir) {
    std::ifstream comm(pidDir + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

std::optional<DeviceHolder> FindOtherHolder(int fd) {
    struct stat own {};
    if (::fstat(fd, &own) != 0 || !S_ISCHR(own.st_mode)) return std::nullopt;
    const long ptyIndex = PtyIndex(own.st_rdev);
    const long self = static_cast<long>(::getpid());

    DIR* proc = ::opendir("/proc");
    if (!proc) return std::nullopt;
    std::optional<DeviceHolder> found;
    while (const dirent* p = ::readdir(proc)) {
        if (!IsNumber(p->d_name)) continue;
        const long pid = std::strtol(p->d_name, nullptr, 10);
        if (pid == self) continue;
        const std::string pidDir = std::string("/proc/") + p->d_name;
        DIR* fds = ::opendir((pidDir + "/fd").c_str());
        if (!fds) continue;  // gone, or another user's: not ours to see
        bool holds = false;
        bool farEnd = false;
        while (const dirent* f = ::readdir(fds)) {
            if (!IsNumber(f->d_name)) continue;
            struct stat st {};
            if (::stat((pidDir + "/fd/" + f->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
                continue;
            if (st.st_rdev == own.st_rdev) holds = true;
            if (ptyIndex >= 0 && ::major(st.st_rdev) == kPtmxMajor &&
                ::minor(st.st_rdev) == kPtmxMinor && ServedPty(pidDir, f->d_name) == ptyIndex)
                farEnd = true;
        }
        ::closedir(fds);
        if (holds && !farEnd) {
            found = DeviceHolder{pid, ProgramName(pidDir)};
            break;
        }
    }
    ::closedir(proc);
    return found;
}

}  // namespace vostrel::platform::detail
