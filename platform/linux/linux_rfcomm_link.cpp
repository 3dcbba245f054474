// The RFCOMM socket to a brick's serial channel, on the kernel's Bluetooth
// sockets.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/linux/rfcomm_abi.hpp"
#include "vostrel/bluetooth.hpp"
#include "vostrel/types.hpp"

namespace vostrel::platform {

using namespace rfcomm;

BdAddr rfcomm::ToBdAddr(const std::string& address) {
    BdAddr a{};
    for (int i = 0; i < 6; ++i) {
        unsigned v = 0;
        std::sscanf(address.c_str() + 3 * i, "%2x", &v);
        a.b[5 - i] = static_cast<std::uint8_t>(v);
    }
    return a;
}

std::string rfcomm::ToText(const BdAddr& address) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", address.b[5], address.b[4],
                  address.b[3], address.b[2], address.b[1], address.b[0]);
    return text;
}

int rfcomm::SocketQueued(int fd) {
    int outq = 0;
    if (::ioctl(fd, TIOCOUTQ, &outq) != 0) return 0;
    sockaddr_storage self{};
    socklen_t len = sizeof self;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
        self.ss_family != kAfBluetooth)
        return std::max(outq, 0);
    // The room left: what is missing from the send buffer is still queued
    // (in the socket, or waiting for the brick's credits). It is handed on
    // once the layer below has taken it.
    int sndbuf = 0;
    len = sizeof sndbuf;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len) != 0) return 0;
    return std::max(sndbuf - outq, 0);
}

std::string LinkErrorText(int errnum) {
    std::string why;
    switch (errnum) {
        case EAFNOSUPPORT:
        case EPROTONOSUPPORT:
            why = "this system has no Bluetooth support";
            break;
        case EHOSTDOWN:
        case EHOSTUNREACH:
            why = "the brick does not answer: it is off, out of range, or its Bluetooth is off";
            break;
        case ECONNREFUSED:
            // The kernel's one answer for all three: a real one and the
            // Bluetooth VM stage give it alike.
            why =
                "the brick refused the link: nothing listens on its serial channel (1), another "
                "computer is connected to it, or it does not know this computer (pair them again)";
            break;
        case ECONNRESET:
            why = "the brick closed the link";
            break;
        case ETIMEDOUT:
            why = "the link timed out: the brick did not answer in time";
            break;
        case EACCES:
        case EPERM:
            why =
                "permission denied: the brick refused this computer (pair it again) or the "
                "system forbids Bluetooth to this user";
            break;
        case ENODEV:
        case EADDRNOTAVAIL:
        case ENETDOWN:
        case ENETUNREACH:
            why = "no Bluetooth adapter is up: turn one on with `bluetoothctl power on`";
            break;
        case EBUSY:
        case EALREADY:
            // The kernel's answer to a second link to a channel this
            // computer already has open.
            why = "the brick's serial channel is busy: another program here is connected to it";
            break;
        default:
            return std::strerror(errnum);
    }
    return why + " (" + std::strerror(errnum) + ")";
}

LinkStart OpenRfcommLink(const std::string& address) {
    const int fd =
        ::socket(kAfBluetooth, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, kBtProtoRfcomm);
    if (fd < 0) {
        const int e = errno;
        throw Error(err::kDeviceIo, LinkErrorText(e));
    }
    SockAddrRc to{};
    to.rc_family = kAfBluetooth;
    to.rc_bdaddr = ToBdAddr(address);
    to.rc_channel = kBrickChannel;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return {fd, false};
    const int e = errno;
    if (e == EINPROGRESS || e == EAGAIN) return {fd, true};
    ::close(fd);
    throw Error(e == EBUSY ? err::kPortAlreadyOpen : err::kDeviceIo, LinkErrorText(e));
}

}  // namespace vostrel::platform
