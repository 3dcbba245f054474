#include "testsupport/memory_comm.hpp"

#include <string_view>

namespace vostrel::testing {

MemoryComm::MemoryComm() {
    for (Integer p = 1; p <= 16; ++p) ports_.insert(p);
}

void MemoryComm::Step(Op op) const {
    const auto i = static_cast<std::size_t>(op);
    ++calls_[i];
    if (!anyFailure_) return;
    Failure& f = failures_[i];
    if (f.times == 0) return;
    if (f.times > 0) --f.times;
    throw Error(f.number, "injected failure");
}

void MemoryComm::CommPort(Integer port) {
    Step(Op::SetCommPort);
    if (open_) throw Error(err::kPortOpen);
    if (port < 1) throw Error(err::kPortInvalid);
    port_ = port;
}

void MemoryComm::Settings(const String& settings) {
    Step(Op::SetSettings);
    if (!ValidSettings(settings)) throw Error(err::kInvalidPropertyValue);
    settings_ = settings;
}

void MemoryComm::PortOpen(Boolean open) {
    if (open.raw() != 0) {
        Step(Op::Open);
        if (open_) throw Error(err::kPortAlreadyOpen);
        if (!ports_.count(port_)) throw Error(err::kPortInvalid);
        if (held_.count(port_)) throw Error(err::kPortAlreadyOpen);
        open_ = true;
        ++opens_;
        inbox_.clear();  // stale input is dropped on open
    } else {
        Step(Op::Close);
        const bool lost = open_ && loseAtClose_;
        open_ = false;
        loseAtClose_ = false;
        if (lost) throw Error(err::kDeviceIo, "closed with 8 bytes of a packet not sent");
    }
}

Boolean MemoryComm::PortOpen() const {
    Step(Op::GetPortOpen);
    return open_ ? kTrue : kFalse;
}

void MemoryComm::Output(const String& bytes) {
    Step(Op::Output);
    if (!open_) throw Error(err::kPortNotOpen);
    bytesWritten_ += bytes.size();
    if (!discardWrites_) writes_.push_back(bytes);
}

String MemoryComm::Input() {
    Step(Op::Input);
    if (!open_) throw Error(err::kPortNotOpen);
    String taken;
    taken.swap(inbox_);
    return taken;
}

void MemoryComm::RaiseOnComm() {
    if (handler_) handler_();
}

String MemoryComm::Written() const {
    String all;
    for (const auto& w : writes_) all += w;
    return all;
}

void MemoryComm::SetPortExists(Integer port, bool exists) {
    if (exists) ports_.insert(port);
    else ports_.erase(port);
}

void MemoryComm::SetPortHeld(Integer port, bool held) {
    if (held) held_.insert(port);
    else held_.erase(port);
}

void MemoryComm::Fail(Op op, int number, int times) {
    failures_[static_cast<std::size_t>(op)] = Failure{number, times};
    anyFailure_ = false;
    for (const auto& f : failures_) anyFailure_ = anyFailure_ || f.times != 0;
}

std::size_t MemoryComm::Calls(Op op) const {
    return calls_[static_cast<std::size_t>(op)];
}

bool ValidSettings(const String& settings) {
    std::string_view s(settings);
    std::string_view fields[4];
    for (int i = 0; i < 4; ++i) {
        std::size_t comma = s.find(',');
        if ((comma == std::string_view::npos) != (i == 3)) return false;
        fields[i] = s.substr(0, comma);
        s = comma == std::string_view::npos ? std::string_view() : s.substr(comma + 1);
    }
    static const std::set<std::string_view> speeds{"110",   "300",   "600",   "1200",   "2400",
                                                   "4800",  "9600",  "14400", "19200",  "28800",
                                                   "38400", "56000", "57600", "115200", "128000",
                                                   "256000"};
    static const std::set<std::string_view> parities{"n", "e", "o", "m", "s", "N", "E", "O", "M", "S"};
    static const std::set<std::string_view> data{"4", "5", "6", "7", "8"};
    static const std::set<std::string_view> stops{"1", "1.5", "2"};
    return speeds.count(fields[0]) && parities.count(fields[1]) && data.count(fields[2]) &&
           stops.count(fields[3]);
}

}  // namespace vostrel::testing
