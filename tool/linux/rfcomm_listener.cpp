// The RFCOMM listener on the kernel's Bluetooth sockets.
#include "tool/linux/rfcomm_listener.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include "platform/linux/rfcomm_abi.hpp"
#include "vostrel/bluetooth.hpp"

namespace vostrel::tool {

using namespace platform::rfcomm;

RfcommListener::RfcommListener(bool paired) {
    fd_ = ::socket(kAfBluetooth, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, kBtProtoRfcomm);
    if (fd_ < 0) throw std::runtime_error(platform::LinkErrorText(errno));
    const BtSecurity security{paired ? kSecurityMedium : kSecurityLow, 0};
    SockAddrRc self{};
    self.rc_family = kAfBluetooth;  // any adapter
    self.rc_channel = kBrickChannel;
    // A host's link comes up only once accepted here (Accept's first
    // read): bytes it sends can never land in a link this program has not
    // taken yet and be lost when the host leaves first.
    const std::uint32_t defer = 1;
    std::string step;
    if (::setsockopt(fd_, kSolBluetooth, kBtSecurity, &security, sizeof security) != 0)
        step = "cannot ask for paired links";
    else if (::bind(fd_, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0)
        step = "cannot take RFCOMM channel 1";
    else if (::setsockopt(fd_, kSolBluetooth, kBtDeferSetup, &defer, sizeof defer) != 0)
        step = "cannot defer links until they are accepted";  // once bound
    else if (::listen(fd_, 1) != 0)
        step = "cannot listen on RFCOMM channel 1";
    if (!step.empty()) {
        const int e = errno;
        ::close(fd_);
        fd_ = -1;
        throw std::runtime_error(step + ": " + platform::LinkErrorText(e));
    }
}

RfcommListener::~RfcommListener() {
    if (fd_ >= 0) ::close(fd_);
}

RfcommHost RfcommListener::Accept() {
    SockAddrRc peer{};
    socklen_t len = sizeof peer;
    const int fd =
        ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return {};
    // The first read lets the deferred link come up; it reads nothing.
    char none;
    if (::recv(fd, &none, 0, 0) < 0 && errno != EAGAIN) {
        ::close(fd);
        return {};
    }
    return {fd, ToText(peer.rc_bdaddr)};
}

}  // namespace vostrel::tool
