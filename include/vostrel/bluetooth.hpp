// Bricks over Bluetooth on Linux: the devices BlueZ knows, and the control's
// port as an RFCOMM link to one of them (no bound /dev/rfcomm device, no
// root).
//
// Error rules: listing never throws (what kept it from BlueZ is said in
// BluetoothListing::unavailable); the port throws vostrel::Error as the tty
// port does, its text carrying the system's or BlueZ's reason.
//
// Threading rules: as for every component of the platform layer (see
// vostrel/platform.hpp); listing may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vostrel/components.hpp"
#include "vostrel/line_port.hpp"
#include "vostrel/port_map.hpp"

namespace vostrel::platform {

class EventLoop;

/// A Bluetooth device BlueZ knows (org.bluez.Device1).
struct BluetoothDevice {
    std::string address;  // "00:16:53:0A:1B:2C", upper case
    std::string name;     // its Bluetooth name; its alias where it gave none
    std::string adapter;  // the adapter it belongs to, "hci0"
    bool paired = false;
    bool connected = false;
};

/// A Bluetooth adapter of this computer (org.bluez.Adapter1).
struct BluetoothAdapter {
    std::string name;     // "hci0"
    std::string address;  // its own address
    bool powered = false;
};

struct BluetoothListing {
    std::vector<BluetoothAdapter> adapters;  // by name
    std::vector<BluetoothDevice> devices;    // by name, then address
    /// Why nothing could be listed, in one line ("no system D-Bus: ...",
    /// "BlueZ is not running: ..."); "" when BlueZ answered.
    std::string unavailable;
    /// True when the look-up was cut short by the cancel descriptor
    /// (`unavailable` is then "interrupted").
    bool interrupted = false;
};

/// What BlueZ knows, asked over the system D-Bus (found through
/// DBUS_SYSTEM_BUS_ADDRESS when set, else at its usual place). Connecting,
/// the bus's handshake and the call together take at most kBlueZTimeout
/// ("the system D-Bus did not answer within 2 s" when the bus itself is
/// wedged), and end at once when `cancelFd` (-1: none) becomes readable.
/// Devices whose Address is not a Bluetooth address are left out. Never
/// throws.
BluetoothListing ListBluetoothDevices(int cancelFd = -1);
inline constexpr std::chrono::milliseconds kBlueZTimeout{2000};

/// Asks BlueZ, ending early when the descriptor it is given (-1: none)
/// becomes readable.
using BrickLister = std::function<BluetoothListing(int cancelFd)>;

/// True for the six-byte "00:16:53:0A:1B:2C" form (hex digits of either
/// case).
bool IsBluetoothAddress(std::string_view text);

/// The address a port text names: an address as it is (upper case), or the
/// one paired device called `nameOrAddress` in `listing`. Throws
/// Error(err::kPortInvalid) when no paired device or several have that name
/// (the text lists what was found, and how to pair an unpaired one), or when
/// the listing is unavailable and a name must be looked up.
std::string ResolveBrick(const std::string& nameOrAddress, const BluetoothListing& listing);

/// The text that names `device` as a port (the tool's -p, PortMap::MapText,
/// Python's ports=): its name where that alone finds it among the paired
/// devices of `listing` and it is printable text, else its address.
std::string PortArgument(const BluetoothDevice& device, const BluetoothListing& listing);

/// Refuses, before any radio traffic, a link BlueZ already knows cannot
/// come up: no adapter, every adapter off, `address` not paired. Throws
/// Error(err::kDeviceIo) saying what to do; does nothing when the listing
/// is unavailable (the connect then says why it fails).
void CheckCanReach(const std::string& address, const BluetoothListing& listing);

/// A socket on its way to a brick: the descriptor (non-blocking) and
/// whether its connect is still in progress.
struct LinkStart {
    int fd = -1;
    bool connecting = false;
};

/// Makes the stream socket to the brick at `address` and starts connecting
/// it, without waiting. Throws Error (kDeviceIo; kPortAlreadyOpen when the
/// brick's channel is busy) with the reason a user can act on.
using LinkOpener = std::function<LinkStart(const std::string& address)>;

/// The real one: an RFCOMM socket to the brick's serial channel (1). On a
/// kernel without Bluetooth it throws at once: "this system has no
/// Bluetooth support".
LinkStart OpenRfcommLink(const std::string& address);

/// The reason a user can act on for a connect or socket error `errnum`,
/// with the system's own text in parentheses.
std::string LinkErrorText(int errnum);

namespace detail {
class FdWriteQueue;
}

/// The control's serial port (Comm1) as an RFCOMM link to a brick, for
/// ports the PortMap names by Bluetooth address or name (PortMap::MapBrick).
///
/// * Settings: checked as the tty port checks them ("9600,n,8,1"), and kept;
///   an RFCOMM link has no line speed, so they change nothing on it.
/// * PortOpen(True) looks the brick up (a name through BlueZ), refuses what
///   BlueZ knows cannot work (see CheckCanReach), refuses a brick this
///   program already has open (kPortAlreadyOpen), makes the socket and
///   starts the connect, and returns without waiting for it. A failure to
///   start throws (kPortInvalid for a name that resolves to no single paired
///   brick, kDeviceIo otherwise), with the reason.
/// * While the link comes up, Output keeps packets (whole, at most
///   kOutputQueueBytes in all); they leave, in order, once it is up. A link
///   that fails to come up, within the connect timeout (kConnectTimeout) at
///   most, counts as a hang-up: OnComm fires once, LinkFailure() says why.
/// * Output never waits: as on the tty port, a packet goes to the port's
///   bounded queue (kOutputQueueBytes) whole, or is refused whole with
///   kDeviceIo, and leaves from the loop as the socket takes it.
/// * OnComm fires from the loop when received bytes are waiting, and once
///   on hang-up or failure; afterwards nothing is watched, Input returns
///   what was left and then "", Output throws kDeviceIo with the reason.
/// * PortOpen(False) gives waiting bytes up to kCloseGrace to leave (only
///   when some wait), then closes; lost bytes are thrown as kDeviceIo after
///   the close, as the tty port does.
class BluetoothPort : public LinePort {
public:
    static constexpr std::size_t kMaxWaiting = 64 * 1024;  // received bytes
    static constexpr std::chrono::milliseconds kConnectTimeout{20000};
    static constexpr std::chrono::milliseconds kCloseGrace{500};

    /// `opener` makes the socket (OpenRfcommLink unless a test stands in);
    /// `lister` asks BlueZ (ListBluetoothDevices unless a test stands in).
    explicit BluetoothPort(EventLoop& loop, PortMap ports = {}, LinkOpener opener = OpenRfcommLink,
                           BrickLister lister = ListBluetoothDevices,
                           std::chrono::milliseconds connectTimeout = kConnectTimeout);
    ~BluetoothPort() override;
    BluetoothPort(const BluetoothPort&) = delete;
    BluetoothPort& operator=(const BluetoothPort&) = delete;

    /// Throws kPortInvalid unless the number names a brick.
    void CommPort(Integer port) override;
    Integer CommPort() const override { return port_; }
    void Settings(const String& settings) override;
    String Settings() const override { return settings_; }
    void PortOpen(Boolean open) override;
    Boolean PortOpen() const override { return fd_ >= 0 ? kTrue : kFalse; }
    void Output(const String& bytes) override;
    String Input() override;
    void OnComm(Handler handler) override { handler_ = std::move(handler); }

    /// Waits, at most `timeout`, until the link is up and every accepted
    /// byte has left this program and the socket's queue. False when the
    /// time ran out, the wait was cancelled, or the link failed. Runs no
    /// loop callbacks.
    bool Drain(std::chrono::milliseconds timeout) override;
    /// As SerialPort::CancelWaitsOn: once `fd` is readable every wait ends.
    void CancelWaitsOn(CancelSignal fd) override { cancelFd_ = fd; }

    /// True while the connect is still in progress.
    bool Connecting() const { return connecting_; }
    bool HungUp() const { return hungUp_; }
    /// Why the link failed or did not come up ("" while it is fine).
    std::string LinkFailure() const override { return failure_; }
    /// The brick's address while open ("" when closed).
    const std::string& Address() const { return address_; }
    /// Bytes Output accepted that this program still holds.
    std::size_t Unsent() const;
    std::size_t LostAtClose() const { return lostAtClose_; }
    int NativeHandle() const { return fd_; }

private:
    void OnReady();
    void WatchConnect();
    void StopConnectWatch();
    void CheckConnect();
    void LinkUp();
    void Fail(const std::string& why);
    void ReadAvailable();
    void Notify(bool hangUp);
    std::size_t Close() noexcept;
    void DropQueued() noexcept;  // what waits, early or queued, counts as lost

    EventLoop& loop_;
    PortMap ports_;
    LinkOpener opener_;
    BrickLister lister_;
    std::chrono::milliseconds connectTimeout_;
    std::unique_ptr<detail::FdWriteQueue> queue_;
    Integer port_ = 1;
    String settings_ = "9600,n,8,1";
    int fd_ = -1;
    std::string address_;
    bool connecting_ = false;
    std::chrono::steady_clock::time_point connectDeadline_;
    bool hungUp_ = false;
    bool hangUpReported_ = false;
    std::string failure_;
    String received_;
    String early_;                         // packets accepted while the link comes up
    std::vector<std::size_t> earlySizes_;  // each of them
    std::size_t lost_ = 0;
    std::size_t lostPackets_ = 0;
    std::size_t lostAtClose_ = 0;
    std::size_t packetsLostAtClose_ = 0;
    std::uint64_t watch_ = 0;
    std::uint64_t connectWatch_ = 0;
    std::uint64_t connectTimer_ = 0;
    std::uint64_t notifyTimer_ = 0;
    CancelSignal cancelFd_ = kNoCancel;
    Handler handler_;
};

}  // namespace vostrel::platform
