// The simulated brick's thread: poll on the line, feed the engine, run the
// program, write replies and messages with the faults asked for.
#include "sim/simulated_brick.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace vostrel::sim {

namespace {
[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return;  // not a tty: nothing to set
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}
}  // namespace

// Closes the line; a device it was given gets its settings back.
void SimulatedBrick::CloseDevice() {
    if (fd_ >= 0 && deviceSettings_) ::tcsetattr(fd_, TCSANOW, deviceSettings_.get());
    CloseFd(fd_);
}

std::vector<std::string> BrickStatus::StoredFor(int inbox) const {
    std::vector<std::string> out;
    for (const auto& o : received)
        if (o.kind == Outcome::Kind::MessageWrite && o.status == status::kOk && o.inbox == inbox)
            out.push_back(o.message);
    return out;
}

SimulatedBrick::SimulatedBrick(BrickOptions options)
    : options_(std::move(options)), program_(options_.program, engine_) {
    if (options_.line >= 0) {
        fd_ = options_.line;
        path_ = options_.device;
    } else if (options_.device.empty()) {
        char name[256] = {};
        if (::openpty(&fd_, &heldSlave_, name, nullptr, nullptr) != 0) ThrowErrno("openpty");
        path_ = name;
        // Raw before any host opens it, so nothing is echoed or translated.
        MakeRaw(heldSlave_);
        ::fcntl(heldSlave_, F_SETFD, FD_CLOEXEC);
    } else {
        path_ = options_.device;
        fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) ThrowErrno("open " + path_);
        // The device is someone else's: its settings go back at the close.
        auto saved = std::make_unique<termios>();
        if (::tcgetattr(fd_, saved.get()) == 0) deviceSettings_ = std::move(saved);
        MakeRaw(fd_);
    }
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    int p[2];
    if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int e = errno;
        CloseDevice();
        CloseFd(heldSlave_);
        errno = e;
        ThrowErrno("pipe");
    }
    wakeRead_ = p[0];
    wakeWrite_ = p[1];
    const TimePoint now = Clock::now();
    if (!options_.programRunning) engine_.StopProgram();
    program_.Start(now);
    if (options_.silentFor.count() > 0) {
        silentFrom_ = now + options_.silentAfter;
        silentUntil_ = silentFrom_ + options_.silentFor;
    }
    thread_ = std::thread([this] { Run(); });
}

SimulatedBrick::~SimulatedBrick() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    Wake();
    thread_.join();
    CloseDevice();
    CloseFd(heldSlave_);
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
}

void SimulatedBrick::Wake() {
    const char c = 1;
    // A full pipe already means a wake-up is pending.
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &c, 1);
}

void SimulatedBrick::SetObserver(std::function<void(const BrickEvent&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void SimulatedBrick::Notify(const BrickEvent& e) {
    pendingEvents_.push_back(e);
    pendingEvents_.back().at = Clock::now();
}

void SimulatedBrick::Run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        TimePoint now = Clock::now();
        if (hangUpRequested_ && !status_.hungUp) {
            CloseLine();
            Notify({BrickEvent::Kind::HungUp});
        }
        UpdateSilence(now);
        Flush(now);
        QueueProgram(program_.Run(now, status_.silent || status_.hungUp), now);
        Flush(now);
        // Deliver events outside the lock: an observer may ask for Status().
        if (!pendingEvents_.empty()) {
            std::vector<BrickEvent> events;
            events.swap(pendingEvents_);
            auto observer = observer_;
            changed_.notify_all();
            lock.unlock();
            if (observer)
                for (const auto& e : events) observer(e);
            lock.lock();
            continue;
        }
        changed_.notify_all();

        TimePoint due = program_.NextDue();
        if (!out_.empty()) due = std::min(due, out_.front().due);
        if (silentFrom_ != TimePoint::max()) due = std::min(due, silentFrom_);
        if (status_.silent) due = std::min(due, silentUntil_);
        if (!held_.empty()) due = std::min(due, heldSince_ + milliseconds(1000));
        int timeout = -1;
        if (due != TimePoint::max()) {
            const auto ms = std::chrono::ceil<milliseconds>(due - now).count();
            timeout = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
        }
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {fd_, POLLIN, 0}};
        const nfds_t n = fd_ >= 0 && !deaf_ ? 2 : 1;
        lock.unlock();
        const int r = ::poll(fds, n, timeout);
        lock.lock();
        if (r < 0) continue;  // EINTR
        if (fds[0].revents & POLLIN) {
            char buf[64];
            while (::read(wakeRead_, buf, sizeof buf) > 0) {
            }
        }
        if (n == 2 && fds[1].revents) OnReadable(Clock::now(), fds[1].revents);
    }
}

void SimulatedBrick::UpdateSilence(TimePoint now) {
    if (!status_.silent && now >= silentFrom_ && now < silentUntil_) {
        status_.silent = true;
        silentFrom_ = TimePoint::max();
        Notify({BrickEvent::Kind::SilenceBegins});
    } else if (status_.silent && now >= silentUntil_) {
        status_.silent = false;
        Notify({BrickEvent::Kind::SilenceEnds});
    }
}

void SimulatedBrick::OnReadable(TimePoint now, short revents) {
    char buf[4096];
    const ssize_t r = ::read(fd_, buf, sizeof buf);
    // A socket whose peer left says so once, to whichever call comes first
    // (a write may have taken the error); after that it only reads as
    // "nothing yet" while it polls as hung up.
    const bool gone = (revents & (POLLHUP | POLLERR)) != 0;
    if (r < 0 && (errno == EINTR || (errno == EAGAIN && !gone))) return;
    if (r <= 0) {
        // The device went away (a pty's master never sees this while the
        // brick holds its slave).
        BrickEvent e{BrickEvent::Kind::LineFailed};
        Notify(e);
        CloseLine();
        return;
    }
    status_.bytesIn += static_cast<std::uint64_t>(r);
    for (const std::string& telegram : reader_.Feed(std::string_view(buf, static_cast<std::size_t>(r)))) {
        Outcome o = engine_.Handle(telegram);
        if (o.kind == Outcome::Kind::Ignored) continue;
        BrickEvent e{};
        e.command = o.command;
        e.status = o.status;
        switch (o.kind) {
            case Outcome::Kind::MessageWrite:
                e.kind = BrickEvent::Kind::Received;
                e.inbox = o.inbox;
                e.bytes = o.message;
                break;
            case Outcome::Kind::PlayTone:
                e.kind = BrickEvent::Kind::Tone;
                e.tone = o.tone;
                status_.tones.push_back(o.tone);
                if (status_.tones.size() > BrickStatus::kHistory) status_.tones.erase(status_.tones.begin());
                break;
            case Outcome::Kind::KeepAlive:
                e.kind = BrickEvent::Kind::KeepAlive;
                ++status_.keepAlives;
                break;
            default:
                e.kind = BrickEvent::Kind::Unknown;
                break;
        }
        Notify(e);
        if (!o.reply.empty()) Queue(o.reply, {}, now);
        const bool quiet = status_.silent || status_.hungUp;
        if (o.kind == Outcome::Kind::PlayTone && !quiet) QueueProgram(program_.OnTone(o.tone), now);
        status_.received.push_back(std::move(o));
        if (status_.received.size() > BrickStatus::kHistory) status_.received.erase(status_.received.begin());
        // The program reads its inboxes after every telegram, as a brick
        // program polling them would.
        const int answersBefore = program_.PingAnswers();
        QueueProgram(program_.Run(now, quiet), now);
        for (int i = answersBefore; i < program_.PingAnswers(); ++i) Notify({BrickEvent::Kind::PingAnswered});
    }
    status_.pingAnswers = program_.PingAnswers();
    status_.wrongAnswers = program_.WrongAnswers();
}

void SimulatedBrick::QueueProgram(std::vector<ProgramSend> sends, TimePoint now) {
    for (auto& s : sends) {
        BrickEvent e{BrickEvent::Kind::Sent};
        e.inbox = s.inbox;
        e.bytes = s.payload;
        e.sendWhy = s.why;
        Notify(e);
        const std::string packet = Frame(s.telegram);
        if (options_.joinProgramPairs) {
            if (held_.empty()) {
                held_ = packet;
                heldSince_ = now;
                continue;
            }
            Queue(held_ + packet, {}, now);
            held_.clear();
            continue;
        }
        Queue(packet, options_.programDelivery, now);
    }
    status_.pingsSent = program_.PingsSent();
    // A lone message waits at most a second for its partner.
    if (!held_.empty() && now - heldSince_ >= milliseconds(1000)) {
        Queue(held_, {}, now);
        held_.clear();
    }
}

void SimulatedBrick::Queue(const std::string& packet, const Delivery& how, TimePoint now) {
    TimePoint due = out_.empty() ? now : std::max(now, out_.back().due);
    const std::size_t pieces = std::clamp<std::size_t>(static_cast<std::size_t>(std::max(how.pieces, 1)), 1,
                                                       std::max<std::size_t>(packet.size(), 1));
    const std::size_t base = packet.size() / pieces;
    std::size_t at = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
        const std::size_t len = i + 1 == pieces ? packet.size() - at : base;
        out_.push_back({due, packet.substr(at, len)});
        at += len;
        due += how.gap;
    }
}

void SimulatedBrick::Flush(TimePoint now) {
    while (!out_.empty() && out_.front().due <= now) {
        const std::string bytes = std::move(out_.front().bytes);
        out_.pop_front();
        if (status_.silent || fd_ < 0) {
            status_.bytesDropped += bytes.size();
            continue;
        }
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t w = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (w > 0) {
                done += static_cast<std::size_t>(w);
            } else if (w < 0 && errno == EINTR) {
                continue;
            } else {
                // No one reads the line and its buffer is full: a brick's
                // radio would lose these bytes too.
                break;
            }
        }
        status_.bytesOut += done;
        status_.bytesDropped += bytes.size() - done;
    }
}

void SimulatedBrick::CloseLine() {
    CloseDevice();
    CloseFd(heldSlave_);
    status_.hungUp = true;
}

void SimulatedBrick::SendText(int inbox, std::string_view text, Delivery how) {
    const std::string packet = Frame(MessageTelegram(inbox, text));
    std::lock_guard lock(mutex_);
    Queue(packet, how, Clock::now());
    Wake();
}

void SimulatedBrick::SendNumber(int inbox, std::int32_t value, Delivery how) {
    SendText(inbox, NumberPayload(value), how);
}

void SimulatedBrick::SendJoined(const std::vector<std::string>& telegrams) {
    std::string bytes;
    for (const auto& t : telegrams) bytes += Frame(t);
    SendGarbage(std::move(bytes));
}

void SimulatedBrick::SendGarbage(std::string bytes) {
    std::lock_guard lock(mutex_);
    const TimePoint now = Clock::now();
    out_.push_back({out_.empty() ? now : std::max(now, out_.back().due), std::move(bytes)});
    Wake();
}

void SimulatedBrick::GoSilent(milliseconds d) {
    std::lock_guard lock(mutex_);
    const TimePoint now = Clock::now();
    silentFrom_ = now;
    silentUntil_ = now + d;
    Wake();
}

void SimulatedBrick::StopReading(bool stop) {
    std::lock_guard lock(mutex_);
    deaf_ = stop;
    Wake();
}

void SimulatedBrick::HangUp() {
    std::unique_lock lock(mutex_);
    // The brick's thread closes the line: it may be polling it right now.
    hangUpRequested_ = true;
    Wake();
    changed_.wait(lock, [this] { return status_.hungUp || stop_; });
}

void SimulatedBrick::StopProgram() {
    std::lock_guard lock(mutex_);
    engine_.StopProgram();
}

void SimulatedBrick::StartProgram() {
    std::lock_guard lock(mutex_);
    engine_.StartProgram();
    program_.Start(Clock::now());
    Wake();
}

BrickStatus SimulatedBrick::Status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

bool SimulatedBrick::WaitUntil(const std::function<bool(const BrickStatus&)>& pred, milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(status_); });
}

std::vector<std::string> SimulatedBrick::Inbox(int inbox) const {
    std::lock_guard lock(mutex_);
    const auto& q = engine_.Queue(inbox);
    return {q.begin(), q.end()};
}

}  // namespace vostrel::sim
