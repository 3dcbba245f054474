// The serial port on a POSIX tty: termios for the line, the loop's
// readiness watch for OnComm, an advisory lock plus the tty's exclusive mode
// to hold the device.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/close_loss.hpp"
#include "platform/device_holders.hpp"
#include "platform/line_settings.hpp"
#include "platform/line_speed.hpp"
#include "platform/posix/fd_write_queue.hpp"
#include "platform/posix/unfinished_packets.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::platform {

struct SerialPort::SavedLine {
    termios settings{};
};

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(int number, const std::string& what, int errnum) {
    throw Error(number, what + ": " + std::strerror(errnum));
}

tcflag_t DataBits(int bits) {
    switch (bits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

// The termios constant of a standard speed, 0 when it has none.
speed_t StandardSpeed(long bitsPerSecond) {
    struct Entry {
        long bps;
        speed_t constant;
    };
    static constexpr Entry kSpeeds[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
        {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
        {460800, B460800}, {921600, B921600},
#endif
    };
    for (const Entry& e : kSpeeds)
        if (e.bps == bitsPerSecond) return e.constant;
    return 0;
}

// Puts the line in raw mode with the given framing and speed, then reads it
// back: tcsetattr reports success when any one change took, so only the
// read-back tells whether all of them did.
void ApplyLine(int fd, const detail::LineSettings& ls) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        Fail(err::kInvalidPropertyValue, "cannot read the line settings", errno);
    ::cfmakeraw(&t);
    // No break, parity or flow-control processing of input, no CR/LF
    // translation, no output processing, no echo, no signal characters.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CREAD | CLOCAL | DataBits(ls.dataBits);
    if (ls.parity != 'n') t.c_cflag |= PARENB | (ls.parity == 'o' ? PARODD : 0);
    if (ls.stopBits == 2) t.c_cflag |= CSTOPB;
    // With the descriptor non-blocking, an empty line reads as EAGAIN and a
    // read of 0 bytes can only mean end of file (hang-up).
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    // A speed with a standard constant is set the standard way, so other
    // programs reading the line see it as usual; any other goes by number.
    const speed_t standard = StandardSpeed(ls.speed);
    if (standard != 0 && (::cfsetispeed(&t, standard) != 0 || ::cfsetospeed(&t, standard) != 0))
        Fail(err::kInvalidPropertyValue, "cannot set speed " + std::to_string(ls.speed), errno);
    if (::tcsetattr(fd, TCSANOW, &t) != 0)
        Fail(err::kInvalidPropertyValue, "the device refused the line settings", errno);
    if (standard == 0 && !detail::SetLineSpeed(fd, ls.speed))
        Fail(err::kInvalidPropertyValue, "the device refused speed " + std::to_string(ls.speed),
             errno);

    termios back{};
    if (::tcgetattr(fd, &back) != 0)
        Fail(err::kInvalidPropertyValue, "cannot read the line settings", errno);
    const tcflag_t cflagMask = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CREAD | CLOCAL;
    const bool took = (back.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP)) == 0 &&
                      (back.c_oflag & OPOST) == 0 &&
                      (back.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)) == 0 &&
                      (back.c_cflag & cflagMask) == (t.c_cflag & cflagMask) &&
                      back.c_cc[VMIN] == 1 && back.c_cc[VTIME] == 0;
    if (!took) throw Error(err::kInvalidPropertyValue, "the device did not take the line settings");
    const long speed = detail::GetLineSpeed(fd);
    if (speed != ls.speed)
        throw Error(err::kInvalidPropertyValue,
                    "the device does not support speed " + std::to_string(ls.speed));
}

detail::LineSettings Parse(const String& text) {
    auto ls = detail::ParseLineSettings(text);
    if (!ls) throw Error(err::kInvalidPropertyValue, "invalid line settings \"" + text + "\"");
    return *ls;
}

}  // namespace

SerialPort::SerialPort(EventLoop& loop, PortMap ports)
    : loop_(loop), ports_(std::move(ports)), out_(std::make_unique<detail::FdWriteQueue>(loop)) {}

SerialPort::~SerialPort() { Close(); }

void SerialPort::CommPort(Integer port) {
    if (fd_ >= 0)
        throw Error(err::kPortOpen, "the port number cannot change while the port is open");
    ports_.Path(port);  // throws when the number names no device
    port_ = port;
}

std::string SerialPort::DevicePath() const {
    try {
        return ports_.Path(port_);
    } catch (const Error&) {
        return "";
    }
}

void SerialPort::Settings(const String& settings) {
    const detail::LineSettings ls = Parse(settings);
    if (fd_ >= 0) {
        try {
            ApplyLine(fd_, ls);
        } catch (...) {
            // Put the line back as it was, so a refused text changes nothing.
            try {
                ApplyLine(fd_, Parse(settings_));
            } catch (...) {
            }
            throw;
        }
    }
    settings_ = settings;
}

void SerialPort::PortOpen(Boolean open) {
    if (!open.IsTrue()) {
        const std::size_t lost = Close();
        if (lost > 0)
            throw Error(err::kDeviceIo,
                        detail::ClosedWithLoss(lost, packetsLostAtClose_) + ": " +
                            (detail::Cancelled(cancelFd_)
                                 ? std::string("closing was cut short")
                                 : "the line did not take them within " +
                                       std::to_string(kCloseGrace.count()) + " ms, or failed") +
                            (restKept_ ? "; the rest of the packet the line had started goes "
                                         "first when the device is opened again"
                                       : ""));
        return;
    }
    if (fd_ >= 0) throw Error(err::kPortAlreadyOpen, "the port is already open");
    const std::string path = ports_.Path(port_);
    const detail::LineSettings ls = Parse(settings_);

    // Non-blocking: a Bluetooth device may wait for its radio link, and the
    // host's thread must not. No controlling terminal: the brick's line must
    // never send the host signals.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT || e == ENODEV || e == ENXIO || e == ENOTDIR)
            Fail(err::kPortInvalid, "cannot open " + path, e);
        if (e == EBUSY) Fail(err::kPortAlreadyOpen, path + " is in use", e);
        Fail(err::kDeviceIo, "cannot open " + path, e);
    }
    auto saved = std::make_unique<SavedLine>();
    try {
        if (::tcgetattr(fd, &saved->settings) != 0) {
            const int e = errno;
            if (e == ENOTTY)
                throw Error(err::kPortInvalid, path + " is not a serial device: not a terminal");
            Fail(err::kDeviceIo, "cannot read the line settings of " + path, e);
        }
        // A program that opened the device without locking it (a terminal
        // program, `cat`) would take the brick's replies.
        if (const auto holder = detail::FindOtherHolder(fd)) {
            std::string who = "process " + std::to_string(holder->pid);
            if (!holder->name.empty()) who += " (" + holder->name + ")";
            throw Error(err::kPortAlreadyOpen, path + " is in use by " + who);
        }
        // The advisory lock stops a second open also when both sides run as
        // root, which the tty's exclusive mode alone does not; flock locks
        // belong to the open file, so a second open in this process
        // conflicts too.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            if (e == EWOULDBLOCK)
                throw Error(err::kPortAlreadyOpen,
                            path + " is in use: another program holds its lock");
            Fail(err::kDeviceIo, "cannot lock " + path, e);
        }
        // Refuses later opens by programs that do not take the lock.
        if (::ioctl(fd, TIOCEXCL) != 0)
            Fail(err::kDeviceIo, "cannot take " + path + " exclusively", errno);
        try {
            ApplyLine(fd, ls);
        } catch (...) {
            ::tcsetattr(fd, TCSANOW, &saved->settings);
            ::ioctl(fd, TIOCNXCL);
            throw;
        }
        // Bytes that waited from before belong to no packet of this link.
        ::tcflush(fd, TCIFLUSH);
    } catch (...) {
        ::close(fd);
        throw;
    }
    saved_ = std::move(saved);
    lostAtClose_ = 0;
    fd_ = fd;
    out_->Start(fd);
    hungUp_ = false;
    hangUpReported_ = false;
    received_.clear();
    try {
        StartWatching();
    } catch (...) {
        // A loop that refuses the watch (a host's loop already closed):
        // nothing is queued yet, so this puts the line back and lets the
        // device go at once.
        Close();
        throw;
    }
    // A close that could not finish a packet left its rest: it goes first,
    // so nothing sent now is read as the old packet's tail.
    const std::string rest = detail::TakeUnfinishedPacket(fd_);
    try {
        if (!rest.empty()) out_->Offer(rest);
    } catch (const Error&) {
        // A failing write shows as a hang-up from the loop.
    }
}

std::size_t SerialPort::Close() noexcept {
    if (fd_ < 0) return 0;
    StopWatching();
    // Bytes already accepted get a bounded chance to leave, so closing
    // right after a send does not cut its packet; with none waiting the
    // close takes no time.
    const auto deadline = Clock::now() + kCloseGrace;
    if (!hungUp_ && out_->Waiting() > 0) out_->FlushUntil(deadline, cancelFd_);
    if (!hungUp_ && out_->Waiting() == 0) detail::WaitForSystemQueue(fd_, deadline, cancelFd_);
    // The system has part of a packet: its rest waits for the next open of
    // the device, unless the line failed (no far end to finish it for).
    std::string rest;
    try {
        if (!hungUp_ && out_->Lost() == 0) rest = out_->StartedRest();
    } catch (...) {
        // Out of memory: nothing is kept, as before.
    }
    restKept_ = !rest.empty();
    detail::KeepUnfinishedPacket(fd_, std::move(rest));
    const detail::FdWriteQueue::Dropped dropped = out_->Stop();
    if (saved_) ::tcsetattr(fd_, TCSANOW, &saved_->settings);
    saved_.reset();
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // also releases the lock
    fd_ = -1;
    lostAtClose_ = dropped.bytes;
    packetsLostAtClose_ = dropped.packets;
    hungUp_ = false;
    hangUpReported_ = false;
    received_.clear();
    return lostAtClose_;
}

bool SerialPort::Drain(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return true;
    const auto deadline = Clock::now() + timeout;
    if (out_->Waiting() > 0) {
        if (hungUp_) return false;
        if (!out_->FlushUntil(deadline, cancelFd_) && out_->Waiting() > 0) return false;
    }
    if (out_->Lost() > 0) return false;
    return hungUp_ || detail::WaitForSystemQueue(fd_, deadline, cancelFd_);
}

std::size_t SerialPort::Unsent() const { return out_->Waiting(); }

void SerialPort::StartWatching() {
    if (watch_ == 0) watch_ = loop_.Watch(fd_, [this] { OnReadable(); });
}

void SerialPort::StopWatching() {
    if (watch_ == 0) return;
    loop_.Unwatch(watch_);
    watch_ = 0;
}

void SerialPort::ReadAvailable() {
    char buf[4096];
    while (received_.size() < kMaxWaiting) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            received_.append(buf, static_cast<std::size_t>(n));
            // A raw tty hands over all it holds in one read: a short read
            // means it is empty now, and another read would only say so.
            if (static_cast<std::size_t>(n) < sizeof buf) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // End of file or a read error: the line hung up or failed.
        hungUp_ = true;
        return;
    }
}

void SerialPort::OnReadable() {
    const std::size_t before = received_.size();
    ReadAvailable();
    if (!hungUp_ && received_.size() == before) {
        // Ready but nothing to read: a hang-up the read did not show, or a
        // failed descriptor. Either way it would keep the loop spinning.
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) hungUp_ = true;
    }
    bool notify = received_.size() > before;
    if (hungUp_ && !hangUpReported_) {
        // Reported once; a hung-up descriptor stays ready for ever.
        hangUpReported_ = true;
        StopWatching();
        notify = true;
    } else if (received_.size() >= kMaxWaiting) {
        StopWatching();  // Input resumes reading
    }
    if (notify && handler_) {
        Handler h = handler_;  // the handler may replace itself or close the port
        // The read above emptied the device (a short read): Input inside the
        // handler need not ask it again. Bytes that come meanwhile make the
        // watch ready again.
        drained_ = !hungUp_ && received_.size() < kMaxWaiting;
        h();
        drained_ = false;
    }
}

String SerialPort::Input() {
    if (fd_ < 0) throw Error(err::kPortNotOpen, "the port is not open");
    if (!hungUp_ && !drained_) ReadAvailable();
    drained_ = false;
    String out;
    out.swap(received_);
    if (!hungUp_ && watch_ == 0) StartWatching();
    return out;
}

void SerialPort::Output(const String& bytes) {
    if (fd_ < 0) throw Error(err::kPortNotOpen, "the port is not open");
    if (hungUp_) throw Error(err::kDeviceIo, "the line has hung up");
    // The brick frames by the length header, so a packet reaches the line
    // whole, behind the ones before it, or is refused whole.
    out_->Offer(bytes);
}

}  // namespace vostrel::platform
