// The per-process record of packets a close left unfinished.
#include "platform/posix/unfinished_packets.hpp"

#include <sys/stat.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "vostrel/platform.hpp"

namespace vostrel::platform::detail {

namespace {

// Enough for every device a program uses at once; bounds what a program
// that opens and abandons many lines can pile up.
constexpr std::size_t kMostDevices = 32;

struct Identity {
    dev_t fileSystem;
    ino_t node;
    dev_t device;
    long changedSeconds;
    long changedNanoseconds;
    bool operator==(const Identity&) const = default;
};

std::optional<Identity> IdentityOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return Identity{st.st_dev, st.st_ino, st.st_rdev, static_cast<long>(st.st_ctim.tv_sec),
                    static_cast<long>(st.st_ctim.tv_nsec)};
}

std::mutex gMutex;
std::deque<std::pair<Identity, std::string>> gKept;  // the oldest first

}  // namespace

void KeepUnfinishedPacket(int fd, std::string rest) noexcept {
    const auto id = IdentityOf(fd);
    if (!id || rest.size() > kOutputQueueBytes) return;
    try {
        std::lock_guard<std::mutex> lock(gMutex);
        std::erase_if(gKept, [&](const auto& kept) { return kept.first == *id; });
        if (rest.empty()) return;
        if (gKept.size() >= kMostDevices) gKept.pop_front();
        gKept.emplace_back(*id, std::move(rest));
    } catch (...) {
        // Out of memory: the next open starts as if nothing were left.
    }
}

std::string TakeUnfinishedPacket(int fd) {
    const auto id = IdentityOf(fd);
    if (!id) return "";
    std::lock_guard<std::mutex> lock(gMutex);
    for (auto it = gKept.begin(); it != gKept.end(); ++it)
        if (it->first == *id) {
            std::string rest = std::move(it->second);
            gKept.erase(it);
            return rest;
        }
    return "";
}

}  // namespace vostrel::platform::detail
