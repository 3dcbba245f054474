// The RFCOMM socket to a brick's serial channel, on the kernel's Bluetooth
// sockets. The few ABI definitions it needs are written out here: they are
// the kernel's, stable, and spare the build BlueZ's development package.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vostrel/bluetooth.hpp"
#include "vostrel/types.hpp"

namespace vostrel::platform {

namespace {

constexpr int kAfBluetooth = 31;           // AF_BLUETOOTH
constexpr int kBtProtoRfcomm = 3;          // BTPROTO_RFCOMM
constexpr std::uint8_t kBrickChannel = 1;  // the NXT's serial port

struct BdAddr {
    std::uint8_t b[6];  // least significant byte first
} __attribute__((packed));

struct SockAddrRc {
    sa_family_t rc_family;
    BdAddr rc_bdaddr;
    std::uint8_t rc_channel;
};
static_assert(sizeof(SockAddrRc) == 10, "the kernel's struct sockaddr_rc");

// "00:16:53:0A:1B:2C" -> bytes in the kernel's order (reversed).
BdAddr ToBdAddr(const std::string& address) {
    BdAddr a{};
    for (int i = 0; i < 6; ++i) {
        unsigned v = 0;
        std::sscanf(address.c_str() + 3 * i, "%2x", &v);
        a.b[5 - i] = static_cast<std::uint8_t>(v);
    }
    return a;
}

}  // namespace

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
            why = "the brick refused the link (is another computer connected to it?)";
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
            why = "the brick's serial channel is busy";
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
