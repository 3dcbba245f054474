// The control's serial port (Comm1) in a web page: its bytes go through a
// JavaScript line over a Web Serial SerialPort (web/src/serial_line.js),
// which reads the port's readable stream in a loop and writes its writable
// stream. Nothing here waits: bytes arrive, leave and fail through calls
// the line makes from the page's event loop.
#pragma once

#include <emscripten/val.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "vostrel/platform.hpp"

namespace vostrel::platform::web {

class WebSerialPort : public Comm {
public:
    /// `lines` is a JavaScript object over the ports the page has chosen:
    ///   has(n)                      whether a port is chosen as number n;
    ///   open(n, settings, session)  "" when the line is open, else why not
    ///                               ("NetworkError: ..."); the line then
    ///                               reports with `session` (below);
    ///   write(session, Uint8Array)  queues bytes for the port's writer;
    ///   close(session)              lets queued bytes go, then closes.
    explicit WebSerialPort(emscripten::val lines);
    ~WebSerialPort() override;
    WebSerialPort(const WebSerialPort&) = delete;
    WebSerialPort& operator=(const WebSerialPort&) = delete;

    /// Any number a port has been chosen as; otherwise kPortInvalid. While
    /// open: kPortOpen.
    void CommPort(Integer port) override;
    Integer CommPort() const override { return port_; }
    /// "speed,parity,data,stop"; a malformed text throws
    /// kInvalidPropertyValue. They apply at the next open (a Web Serial port
    /// takes its settings when it opens).
    void Settings(const String& settings) override;
    String Settings() const override { return settings_; }
    /// Open: kPortAlreadyOpen when open, kPortInvalid when no port is chosen
    /// as this number, kDeviceIo with the browser's reason when the line
    /// cannot open. Close: the line lets bytes already accepted go, then
    /// closes the port, on its own time; the page is never held up.
    void PortOpen(Boolean open) override;
    Boolean PortOpen() const override { return open_ ? kTrue : kFalse; }
    /// Takes all of `bytes` or none: kDeviceIo "the line is not taking
    /// bytes (N bytes waiting)" when they would take the bytes the writer
    /// has not finished past kOutputQueueBytes; kPortNotOpen when closed;
    /// kDeviceIo with the browser's reason once the line failed.
    void Output(const String& bytes) override;
    /// Every byte received and not yet read; "" when none. kPortNotOpen when
    /// closed.
    String Input() override;
    void OnComm(Handler handler) override { handler_ = std::move(handler); }

    // --- from the line, on the page's event loop; a session other than the
    // open one is a line already closed and is ignored ---------------------
    /// Bytes read from the port; OnComm follows.
    void Received(std::uint32_t session, const std::string& bytes);
    /// The writer finished `count` bytes.
    void Written(std::uint32_t session, std::size_t count);
    /// The line failed or hung up (a read or write failed, the device was
    /// disconnected, the stream ended); OnComm follows once. `reason` is the
    /// browser's ("NetworkError: The device has been lost.").
    void Failed(std::uint32_t session, const std::string& reason);

    /// Bytes Output accepted that the writer has not finished.
    std::size_t Unsent() const { return unsent_; }
    /// True once the open line failed; Failure() says why.
    bool HungUp() const { return hungUp_; }
    const std::string& Failure() const { return failure_; }
    std::uint32_t Session() const { return session_; }

private:
    void Notify();

    emscripten::val lines_;
    Integer port_ = 0;
    String settings_ = "9600,n,8,1";
    bool open_ = false;
    std::uint32_t session_ = 0;  // counts opens; the line reports with it
    std::size_t unsent_ = 0;
    bool hungUp_ = false;
    bool hangUpReported_ = false;
    std::string failure_;
    String received_;
    Handler handler_;
};

}  // namespace vostrel::platform::web
