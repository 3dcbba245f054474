// The few definitions of the kernel's Bluetooth socket interface the RFCOMM
// link and the simulated brick's listener need, written out: they are the
// kernel's ABI, stable, and spare the build BlueZ's development package.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace vostrel::platform::rfcomm {

constexpr int kAfBluetooth = 31;             // AF_BLUETOOTH
constexpr int kBtProtoRfcomm = 3;            // BTPROTO_RFCOMM
constexpr int kSolBluetooth = 274;           // SOL_BLUETOOTH
constexpr int kBtSecurity = 4;               // BT_SECURITY
constexpr int kBtDeferSetup = 7;             // BT_DEFER_SETUP
constexpr std::uint8_t kSecurityLow = 1;     // no pairing asked
constexpr std::uint8_t kSecurityMedium = 2;  // paired (a link key) and encrypted
constexpr std::uint8_t kBrickChannel = 1;    // the NXT's serial port

struct BdAddr {
    std::uint8_t b[6];  // least significant byte first
} __attribute__((packed));

struct SockAddrRc {
    sa_family_t rc_family;
    BdAddr rc_bdaddr;
    std::uint8_t rc_channel;
};
static_assert(sizeof(SockAddrRc) == 10, "the kernel's struct sockaddr_rc");

struct BtSecurity {
    std::uint8_t level;
    std::uint8_t key_size;
};

/// "00:16:53:0A:1B:2C" -> bytes in the kernel's order (reversed). The text
/// must be an address (IsBluetoothAddress).
BdAddr ToBdAddr(const std::string& address);
/// The kernel's order -> "00:16:53:0A:1B:2C" (upper case).
std::string ToText(const BdAddr& address);

/// Bytes a stream socket has accepted and not yet handed on, or 0 when it
/// cannot say. Bluetooth sockets answer the usual request (TIOCOUTQ) with the
/// room left in their send buffer rather than the bytes in it; this counts
/// what is in it for them too.
int SocketQueued(int fd);

}  // namespace vostrel::platform::rfcomm
