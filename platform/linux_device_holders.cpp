// Linux: every process's open descriptors are listed under /proc/PID/fd.
// Following each link with stat() names the device it opens; its
// /proc/PID/fdinfo entry gives the mode it was opened in ("flags") and, for
// the pseudo-terminal master, which terminal it serves ("tty-index").
#include <dirent.h>
#include <fcntl.h>
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

// A number of a descriptor's /proc/PID/fdinfo entry ("flags:" in octal,
// "tty-index:" in decimal), -1 when it has none.
long FdInfo(const std::string& pidDir, const char* fd, const std::string& key, int base) {
    std::ifstream info(pidDir + "/fdinfo/" + fd);
    std::string word;
    while (info >> word) {
        if (word == key) {
            std::string value;
            info >> value;
            char* end = nullptr;
            const long n = std::strtol(value.c_str(), &end, base);
            return end != value.c_str() ? n : -1;
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

bool CompetesForLine(const HolderFacts& h, unsigned deviceMajor) {
    if (!h.opensDevice || h.servesPty) return false;
    // The rfcomm program owns the link it brought up, as the master side of
    // a pseudo-terminal owns its line; a program that writes is not that.
    const bool linkOwner = h.program == "rfcomm" && deviceMajor == kRfcommMajor && !h.writesDevice;
    return !linkOwner;
}

std::optional<DeviceHolder> FindOtherHolder(int fd) {
    struct stat own {};
    if (::fstat(fd, &own) != 0 || !S_ISCHR(own.st_mode)) return std::nullopt;
    const long ptyIndex = PtyIndex(own.st_rdev);
    const unsigned major = ::major(own.st_rdev);
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
        HolderFacts facts;
        while (const dirent* f = ::readdir(fds)) {
            if (!IsNumber(f->d_name)) continue;
            struct stat st {};
            if (::stat((pidDir + "/fd/" + f->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
                continue;
            if (st.st_rdev == own.st_rdev) {
                facts.opensDevice = true;
                // Unknown flags count as writing: only a plain reader is let be.
                const long flags = FdInfo(pidDir, f->d_name, "flags:", 8);
                if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) facts.writesDevice = true;
            }
            if (ptyIndex >= 0 && ::major(st.st_rdev) == kPtmxMajor &&
                ::minor(st.st_rdev) == kPtmxMinor &&
                FdInfo(pidDir, f->d_name, "tty-index:", 10) == ptyIndex)
                facts.servesPty = true;
        }
        ::closedir(fds);
        if (!facts.opensDevice) continue;
        facts.program = ProgramName(pidDir);
        if (CompetesForLine(facts, major)) {
            found = DeviceHolder{pid, facts.program};
            break;
        }
    }
    ::closedir(proc);
    return found;
}

}  // namespace vostrel::platform::detail
