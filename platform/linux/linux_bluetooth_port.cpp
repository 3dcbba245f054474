// The control's port as an RFCOMM stream socket to a brick: a connect that
// completes from the loop, the descriptor ports' bounded write queue, the
// loop's readiness watch for OnComm.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>

#include "platform/close_loss.hpp"
#include "platform/line_settings.hpp"
#include "platform/linux/rfcomm_abi.hpp"
#include "platform/output_bound.hpp"
#include "platform/posix/fd_write_queue.hpp"
#include "vostrel/bluetooth.hpp"
#include "vostrel/escaped_text.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::platform {

namespace {

using Clock = std::chrono::steady_clock;

// The bricks this process holds a link to: the kernel would let a second
// socket to the same brick try its luck, and the two would share replies.
std::mutex gOpenMutex;
std::set<std::string> gOpen;

bool Claim(const std::string& address) {
    std::lock_guard<std::mutex> lock(gOpenMutex);
    return gOpen.insert(address).second;
}

void Release(const std::string& address) {
    std::lock_guard<std::mutex> lock(gOpenMutex);
    gOpen.erase(address);
}

// 0 when `fd` (or the cancel descriptor) did not get ready within `ms`.
short WaitFor(int fd, short events, int cancelFd, int ms) {
    pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
    if (::poll(p, cancelFd >= 0 ? 2 : 1, ms) <= 0) return 0;
    if (p[1].revents & POLLIN) return 0;
    return p[0].revents;
}

// Where the loop cannot watch for room, how often it looks whether the
// connect finished.
constexpr std::chrono::milliseconds kConnectPoll{10};

// A brick's name as given, for a message.
std::string QuotedBrick(const std::string& brick) { return '"' + EscapedText(brick, 64) + '"'; }

}  // namespace

BluetoothPort::BluetoothPort(EventLoop& loop, PortMap ports, LinkOpener opener, BrickLister lister,
                             std::chrono::milliseconds connectTimeout)
    : loop_(loop),
      ports_(std::move(ports)),
      opener_(std::move(opener)),
      lister_(std::move(lister)),
      connectTimeout_(connectTimeout),
      queue_(std::make_unique<detail::FdWriteQueue>(loop)) {}

BluetoothPort::~BluetoothPort() { Close(); }

void BluetoothPort::CommPort(Integer port) {
    if (fd_ >= 0)
        throw Error(err::kPortOpen, "the port number cannot change while the port is open");
    const PortTarget target = ports_.Target(port);
    if (target.brick.empty())
        throw Error(err::kPortInvalid, "port " + std::to_string(port) + " names the device " +
                                           target.device + ", not a brick");
    port_ = port;
}

void BluetoothPort::Settings(const String& settings) {
    // Checked as a tty checks them, so a text is refused or taken alike on
    // both kinds of port; the radio link has no speed to set.
    if (!detail::ParseLineSettings(settings))
        throw Error(err::kInvalidPropertyValue, "invalid line settings \"" + settings + "\"");
    settings_ = settings;
}

void BluetoothPort::PortOpen(Boolean open) {
    if (!open.IsTrue()) {
        const std::string why = failure_;
        const std::size_t lost = Close();
        if (lost > 0)
            throw Error(err::kDeviceIo,
                        detail::ClosedWithLoss(lost, packetsLostAtClose_) + ": " +
                            (!why.empty() ? why
                             : detail::Cancelled(cancelFd_)
                                 ? std::string("closing was cut short")
                                 : "the link did not take them within " +
                                       std::to_string(kCloseGrace.count()) + " ms"));
        return;
    }
    if (fd_ >= 0) throw Error(err::kPortAlreadyOpen, "the port is already open");
    const PortTarget target = ports_.Target(port_);
    if (target.brick.empty())
        throw Error(err::kPortInvalid, "port " + std::to_string(port_) + " names no brick");
    const BluetoothListing listing = lister_(cancelFd_);
    // The user ended the look-up: nothing to explain, nothing to connect.
    if (listing.interrupted)
        throw Error(err::kDeviceIo,
                    "interrupted while asking BlueZ for the brick " + QuotedBrick(target.brick));
    const std::string address = ResolveBrick(target.brick, listing);
    const std::string who = "the brick " + (IsBluetoothAddress(target.brick)
                                                ? address
                                                : QuotedBrick(target.brick) + " (" + address + ")");
    CheckCanReach(address, listing);
    if (!Claim(address))
        throw Error(err::kPortAlreadyOpen, who + " is already open in this program");
    LinkStart link;
    try {
        link = opener_(address);
    } catch (const Error& e) {
        Release(address);
        throw Error(e.Number(), "cannot reach " + who + ": " + e.what());
    } catch (...) {
        Release(address);
        throw;
    }
    fd_ = link.fd;
    address_ = address;
    connecting_ = link.connecting;
    connectDeadline_ = Clock::now() + connectTimeout_;
    hungUp_ = false;
    hangUpReported_ = false;
    failure_.clear();
    received_.clear();
    early_.clear();
    earlySizes_.clear();
    lost_ = lostPackets_ = 0;
    lostAtClose_ = 0;
    try {
        watch_ = loop_.Watch(fd_, [this] { OnReady(); });
        if (connecting_)
            WatchConnect();
        else
            queue_->Start(fd_);
    } catch (...) {
        Close();  // a loop that refuses the watch: the socket and the claim go
        throw;
    }
}

std::size_t BluetoothPort::Unsent() const { return early_.size() + queue_->Waiting(); }

std::size_t BluetoothPort::Close() noexcept {
    if (fd_ < 0) return 0;
    // Only bytes still waiting get the grace: an idle close is immediate.
    // Before the watches go, since a link failing meanwhile arms a timer.
    if (!hungUp_ && Unsent() > 0) Drain(kCloseGrace);
    if (watch_ != 0) loop_.Unwatch(watch_);
    if (notifyTimer_ != 0) loop_.CancelTimer(notifyTimer_);
    watch_ = notifyTimer_ = 0;
    StopConnectWatch();
    DropQueued();
    ::close(fd_);
    Release(address_);
    fd_ = -1;
    address_.clear();
    connecting_ = hungUp_ = hangUpReported_ = false;
    failure_.clear();
    received_.clear();
    lostAtClose_ = lost_;
    packetsLostAtClose_ = lostPackets_;
    lost_ = lostPackets_ = 0;
    return lostAtClose_;
}

void BluetoothPort::DropQueued() noexcept {
    const detail::FdWriteQueue::Dropped dropped = queue_->Stop();
    lost_ += early_.size() + dropped.bytes;
    lostPackets_ += earlySizes_.size() + dropped.packets;
    early_.clear();
    earlySizes_.clear();
}

// The connect finishes when the socket becomes writable; the deadline ends
// a connect the radio never finishes.
void BluetoothPort::WatchConnect() {
    connectWatch_ = loop_.WatchWritable(fd_, [this] { CheckConnect(); });
    if (connectWatch_ != 0)
        connectTimer_ = loop_.StartTimer(loop_.Now() + connectTimeout_, Clock::duration::zero(),
                                         [this] { CheckConnect(); });
    else
        connectTimer_ =
            loop_.StartTimer(loop_.Now() + kConnectPoll, kConnectPoll, [this] { CheckConnect(); });
}

void BluetoothPort::StopConnectWatch() {
    if (connectWatch_ != 0) loop_.Unwatch(connectWatch_);
    if (connectTimer_ != 0) loop_.CancelTimer(connectTimer_);
    connectWatch_ = connectTimer_ = 0;
}

void BluetoothPort::CheckConnect() {
    if (!connecting_) return;
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
    if (soError != 0) return Fail(LinkErrorText(soError));
    const short ready = WaitFor(fd_, POLLOUT, -1, 0);
    if (ready & (POLLERR | POLLHUP)) return Fail("the brick closed the link as it came up");
    if (ready & POLLOUT) return LinkUp();
    if (Clock::now() >= connectDeadline_) Fail(LinkErrorText(ETIMEDOUT));
}

void BluetoothPort::LinkUp() {
    connecting_ = false;
    StopConnectWatch();
    queue_->Start(fd_);
    if (early_.empty()) return;
    std::string waiting;
    waiting.swap(early_);
    std::vector<std::size_t> sizes;
    sizes.swap(earlySizes_);
    std::size_t at = 0, packet = 0;
    try {
        // Packet by packet, so a close counts them as the queue does; they
        // fit: they were bounded as the queue is.
        for (; packet < sizes.size(); at += sizes[packet++])
            queue_->Offer(std::string_view(waiting).substr(at, sizes[packet]));
    } catch (const Error& e) {
        lost_ += waiting.size() - at;
        lostPackets_ += sizes.size() - packet;
        Fail(e.what());
    }
}

// The link failed or never came up: it now counts as hung up, and the host
// hears of it once, from the loop.
void BluetoothPort::Fail(const std::string& why) {
    if (hungUp_) return;
    hungUp_ = true;
    connecting_ = false;
    StopConnectWatch();
    failure_ = "the link to " + address_ + " failed: " + why;
    DropQueued();
    if (notifyTimer_ != 0) return;
    notifyTimer_ = loop_.StartTimer(loop_.Now(), Clock::duration::zero(), [this] {
        notifyTimer_ = 0;
        Notify(true);
    });
}

void BluetoothPort::ReadAvailable() {
    char buf[4096];
    while (received_.size() < kMaxWaiting) {
        const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            received_.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        const int e = n == 0 ? 0 : errno;
        // Reported by OnReady (or by the watch, after Input found it). The
        // kernel ends an RFCOMM link the brick closed with ECONNRESET, after
        // every byte it sent was read: the brick's orderly hang-up.
        hungUp_ = true;
        failure_ = "the link to " + address_ +
                   (e == 0            ? std::string(" ended: the brick closed it")
                    : e == ECONNRESET ? " ended: " + LinkErrorText(e)
                                      : " failed: " + LinkErrorText(e));
        DropQueued();
        return;
    }
}

void BluetoothPort::OnReady() {
    if (connecting_) {
        CheckConnect();
        if (connecting_ || hungUp_) {
            // A failed connect is reported by Fail's timer; the watch would
            // only keep the loop spinning meanwhile.
            if (hungUp_ && watch_ != 0) {
                loop_.Unwatch(watch_);
                watch_ = 0;
            }
            return;
        }
    }
    const std::size_t before = received_.size();
    if (!hungUp_) ReadAvailable();
    if (!hungUp_ && received_.size() == before) {
        // Ready with nothing to read: a failure the read did not show.
        int soError = 0;
        socklen_t len = sizeof soError;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len);
        if (soError != 0 || (WaitFor(fd_, POLLIN, -1, 0) & (POLLHUP | POLLERR)))
            Fail(soError != 0 ? LinkErrorText(soError) : "the brick closed the link");
    }
    if (received_.size() > before) Notify(false);
    if (hungUp_) Notify(true);
}

void BluetoothPort::Notify(bool hangUp) {
    if (fd_ < 0) return;
    if (hangUp) {
        if (hangUpReported_) return;
        // Reported once; a hung-up socket stays ready for ever.
        hangUpReported_ = true;
        if (watch_ != 0) loop_.Unwatch(watch_);
        if (notifyTimer_ != 0) loop_.CancelTimer(notifyTimer_);
        watch_ = notifyTimer_ = 0;
        StopConnectWatch();
    } else if (received_.size() >= kMaxWaiting && watch_ != 0) {
        loop_.Unwatch(watch_);  // Input resumes reading
        watch_ = 0;
    }
    if (handler_) {
        Handler h = handler_;  // the handler may replace itself or close the port
        h();
    }
}

String BluetoothPort::Input() {
    if (fd_ < 0) throw Error(err::kPortNotOpen, "the port is not open");
    if (!hungUp_ && !connecting_) ReadAvailable();
    String out;
    out.swap(received_);
    // Also after a hang-up Input found: the watch then reports it.
    if (!hangUpReported_ && watch_ == 0) watch_ = loop_.Watch(fd_, [this] { OnReady(); });
    return out;
}

void BluetoothPort::Output(const String& bytes) {
    if (fd_ < 0) throw Error(err::kPortNotOpen, "the port is not open");
    if (hungUp_) throw Error(err::kDeviceIo, failure_.empty() ? "the link is down" : failure_);
    if (!connecting_) return queue_->Offer(bytes);
    // Whole, behind what waits: the brick frames by the length header.
    detail::CheckOutputRoom(0, bytes.size());  // no queue takes a larger packet
    if (early_.size() + bytes.size() > kOutputQueueBytes)
        throw Error(err::kDeviceIo, "the link is still coming up (" +
                                        std::to_string(early_.size()) + " bytes waiting)");
    early_ += bytes;
    earlySizes_.push_back(bytes.size());
}

bool BluetoothPort::Drain(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return true;
    const auto deadline = Clock::now() + timeout;
    while (connecting_) {
        if (detail::Cancelled(cancelFd_) || Clock::now() >= deadline) return false;
        const auto until = std::min(deadline, connectDeadline_);
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        WaitFor(fd_, POLLOUT, cancelFd_, static_cast<int>(std::max<long long>(ms, 0)));
        CheckConnect();
    }
    if (hungUp_ || !queue_->FlushUntil(deadline, cancelFd_)) return false;
    if (lost_ > 0 || queue_->Lost() > 0) return false;
    // Sent once the socket's own queue is empty too.
    return detail::WaitForSystemQueue(fd_, deadline, cancelFd_, rfcomm::SocketQueued);
}

}  // namespace vostrel::platform
