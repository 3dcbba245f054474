// Linux: every process's open descriptors are listed under /proc/PID/fd.
// Each link's text is read first (that touches no file system); only a link
// naming a device node is followed with stat() to the device it opens. Its
// /proc/PID/fdinfo entry gives the mode it was opened in ("flags") and, for
// the pseudo-terminal master, which terminal it serves ("tty-index"); the
// holder's /proc/PID/mountinfo says which devpts instance that terminal is
// of.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

bool IsPtmx(dev_t rdev) { return ::major(rdev) == kPtmxMajor && ::minor(rdev) == kPtmxMinor; }

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

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A mountinfo path with its \ooo escapes (spaces, tabs) undone.
std::string Unescape(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::string ProgramName(const std::string& pidDir) {
    std::ifstream comm(pidDir + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

bool NamesDevice(std::string_view link) {
    // Files of memory file systems mounted under /dev are no devices.
    for (std::string_view notDevices : {"/dev/shm/", "/dev/mqueue/", "/dev/hugepages/"})
        if (link.substr(0, notDevices.size()) == notDevices) return false;
    return link.size() > 5 && link.substr(0, 5) == "/dev/" &&
           link.find(" (deleted)") == std::string_view::npos;
}

bool SameDevice(const DeviceId& own, const DeviceId& other) {
    if (own.rdev != other.rdev) return false;
    return PtyIndex(static_cast<dev_t>(own.rdev)) < 0 || own.fs == other.fs;
}

std::optional<unsigned long long> PtmxInstance(std::string_view ptmxLink,
                                               std::string_view mountinfo) {
    const auto slash = ptmxLink.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string folder(ptmxLink.substr(0, slash));
    const std::string pts = folder + "/pts";
    std::optional<unsigned long long> inFolder, onPts;
    std::istringstream lines{std::string(mountinfo)};
    std::string line;
    // "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [TAGS...] - TYPE SOURCE ...";
    // a later mount on the same point lies over an earlier one.
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::string id, parent, numbers, root, point, word;
        if (!(f >> id >> parent >> numbers >> root >> point)) continue;
        while (f >> word && word != "-") {
        }
        std::string type;
        if (!(f >> type) || type != "devpts") continue;
        unsigned major = 0, minor = 0;
        if (std::sscanf(numbers.c_str(), "%u:%u", &major, &minor) != 2) continue;
        const std::string at = Unescape(point);
        if (at == folder) inFolder = ::makedev(major, minor);
        if (at == pts) onPts = ::makedev(major, minor);
    }
    return inFolder ? inFolder : onPts;
}

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
    const DeviceId ownId{own.st_dev, own.st_rdev};
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
        std::string mountinfo;  // read once, when a master may serve our terminal
        while (const dirent* f = ::readdir(fds)) {
            if (!IsNumber(f->d_name)) continue;
            const std::string fdPath = pidDir + "/fd/" + f->d_name;
            // The link's text alone first: a file elsewhere is never touched.
            char link[4096];
            const ssize_t n = ::readlink(fdPath.c_str(), link, sizeof link);
            if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link ||
                !NamesDevice({link, static_cast<std::size_t>(n)}))
                continue;
            struct stat st {};
            if (::stat(fdPath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
            if (SameDevice(ownId, {st.st_dev, st.st_rdev})) {
                facts.opensDevice = true;
                // Unknown flags count as writing: only a plain reader is let be.
                const long flags = FdInfo(pidDir, f->d_name, "flags:", 8);
                if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) facts.writesDevice = true;
            }
            if (ptyIndex >= 0 && IsPtmx(st.st_rdev) &&
                FdInfo(pidDir, f->d_name, "tty-index:", 10) == ptyIndex) {
                if (mountinfo.empty()) mountinfo = ReadAll(pidDir + "/mountinfo");
                // The same index in another devpts instance is another terminal.
                if (PtmxInstance({link, static_cast<std::size_t>(n)}, mountinfo) == own.st_dev)
                    facts.servesPty = true;
            }
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
