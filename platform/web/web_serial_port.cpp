// The serial port over a JavaScript Web Serial line.
#include "platform/web/web_serial_port.hpp"

#include "platform/line_settings.hpp"

namespace vostrel::platform::web {

using emscripten::val;

WebSerialPort::WebSerialPort(val lines) : lines_(std::move(lines)) {}

WebSerialPort::~WebSerialPort() {
    if (open_) lines_.call<void>("close", session_);
}

void WebSerialPort::CommPort(Integer port) {
    if (open_) throw Error(err::kPortOpen, "port " + std::to_string(port_) + " is open");
    if (!lines_.call<bool>("has", port))
        throw Error(err::kPortInvalid,
                    "no serial port has been chosen as port " + std::to_string(port));
    port_ = port;
}

void WebSerialPort::Settings(const String& settings) {
    if (!detail::ParseLineSettings(settings))
        throw Error(err::kInvalidPropertyValue, "invalid port settings \"" + settings + "\"");
    settings_ = settings;
}

void WebSerialPort::PortOpen(Boolean open) {
    if (!open.IsTrue()) {
        if (!open_) return;
        open_ = false;
        received_.clear();
        unsent_ = 0;
        lines_.call<void>("close", session_);
        return;
    }
    if (open_)
        throw Error(err::kPortAlreadyOpen, "port " + std::to_string(port_) + " is open already");
    if (!lines_.call<bool>("has", port_))
        throw Error(err::kPortInvalid,
                    "no serial port has been chosen as port " + std::to_string(port_));
    const std::uint32_t session = session_ + 1;
    const std::string why = lines_.call<std::string>("open", port_, settings_, session);
    if (!why.empty())
        throw Error(err::kDeviceIo,
                    "cannot open serial port " + std::to_string(port_) + ": " + why);
    session_ = session;
    open_ = true;
    hungUp_ = false;
    hangUpReported_ = false;
    failure_.clear();
    received_.clear();
    unsent_ = 0;
}

void WebSerialPort::Output(const String& bytes) {
    if (!open_) throw Error(err::kPortNotOpen, "the port is not open");
    if (hungUp_) throw Error(err::kDeviceIo, "the line failed: " + failure_);
    if (bytes.size() > kOutputQueueBytes - unsent_)
        throw Error(err::kDeviceIo,
                    "the line is not taking bytes (" + std::to_string(unsent_) + " bytes waiting)");
    if (bytes.empty()) return;
    const val view(emscripten::typed_memory_view(
        bytes.size(), reinterpret_cast<const unsigned char*>(bytes.data())));
    // A copy: the view is of the module's memory, which the next call may move.
    lines_.call<void>("write", session_, val::global("Uint8Array").new_(view));
    unsent_ += bytes.size();
}

String WebSerialPort::Input() {
    if (!open_) throw Error(err::kPortNotOpen, "the port is not open");
    String out;
    out.swap(received_);
    return out;
}

void WebSerialPort::Received(std::uint32_t session, const std::string& bytes) {
    if (!open_ || session != session_ || hungUp_ || bytes.empty()) return;
    // The control takes every byte on each notification; the bound only
    // guards against a handler that does not.
    if (received_.size() + bytes.size() > SerialPort::kMaxWaiting)
        return Failed(session, "more than 64 KiB received and not read");
    received_ += bytes;
    Notify();
}

void WebSerialPort::Written(std::uint32_t session, std::size_t count) {
    if (!open_ || session != session_) return;
    unsent_ = count > unsent_ ? 0 : unsent_ - count;
}

void WebSerialPort::Failed(std::uint32_t session, const std::string& reason) {
    if (!open_ || session != session_ || hungUp_) return;
    hungUp_ = true;
    failure_ = reason;
    unsent_ = 0;  // nothing more will leave
    if (hangUpReported_) return;
    hangUpReported_ = true;
    Notify();
}

void WebSerialPort::Notify() {
    if (handler_) handler_();
}

}  // namespace vostrel::platform::web
