// A serial port in memory: records every write, delivers whatever bytes a
// test queues, and can be told to fail any operation.
#pragma once

#include <array>
#include <set>
#include <vector>

#include "vostrel/components.hpp"

namespace vostrel::testing {

class MemoryComm : public Comm {
public:
    enum class Op { SetCommPort, SetSettings, Open, Close, GetPortOpen, Output, Input };

    /// Ports 1 to 16 exist unless the test says otherwise.
    MemoryComm();

    void CommPort(Integer port) override;
    Integer CommPort() const override { return port_; }
    void Settings(const String& settings) override;
    String Settings() const override { return settings_; }
    void PortOpen(Boolean open) override;
    Boolean PortOpen() const override;
    void Output(const String& bytes) override;
    String Input() override;
    void OnComm(Handler handler) override { handler_ = std::move(handler); }

    // --- the test's side ------------------------------------------------------
    /// Queues bytes as received (they wait until Input takes them).
    void Receive(const String& bytes) { inbox_ += bytes; }
    /// Raises OnComm (whether or not anything is waiting).
    void RaiseOnComm();
    /// Receive, then RaiseOnComm: one read's worth of bytes.
    void Deliver(const String& bytes) {
        Receive(bytes);
        RaiseOnComm();
    }
    bool HasHandler() const { return static_cast<bool>(handler_); }

    /// Every Output, one string per write, in order.
    const std::vector<String>& Writes() const { return writes_; }
    /// All written bytes run together.
    String Written() const;
    void ClearWrites() { writes_.clear(); }
    /// Bytes received and not yet taken by Input.
    const String& Waiting() const { return inbox_; }

    /// Makes port numbers exist or vanish; a held port exists but is in use
    /// by another program, so opening it fails.
    void SetPortExists(Integer port, bool exists);
    void SetPortHeld(Integer port, bool held);

    /// The next `times` calls of `op` fail with Error(number); times < 0:
    /// every call until cleared with times = 0.
    void Fail(Op op, int number, int times = -1);
    std::size_t Calls(Op op) const;
    /// The next close closes, then throws Error(kDeviceIo), as a close that
    /// had to throw away queued bytes does.
    void LoseBytesAtNextClose() { loseAtClose_ = true; }
    /// How many times the port was opened.
    int Opens() const { return opens_; }

    /// Drop capacity kept for writes (benchmarks).
    void DiscardWrites(bool discard) { discardWrites_ = discard; }
    std::size_t BytesWritten() const { return bytesWritten_; }

private:
    void Step(Op op) const;

    Integer port_ = 1;
    String settings_ = "9600,n,8,1";
    bool open_ = false;
    std::set<Integer> ports_;
    std::set<Integer> held_;
    String inbox_;
    std::vector<String> writes_;
    bool discardWrites_ = false;
    std::size_t bytesWritten_ = 0;
    int opens_ = 0;
    bool loseAtClose_ = false;
    Handler handler_;
    static constexpr std::size_t kOps = 7;
    struct Failure {
        int number = 0;
        int times = 0;  // 0: none, < 0: every call
    };
    mutable std::array<Failure, kOps> failures_{};
    bool anyFailure_ = false;
    mutable std::array<std::size_t, kOps> calls_{};
};

/// Whether `settings` is a line-settings text a serial port takes:
/// "speed,parity,data,stop" with a standard speed, parity n/e/o/m/s,
/// 4 to 8 data bits and 1, 1.5 or 2 stop bits.
bool ValidSettings(const String& settings);

}  // namespace vostrel::testing
