// The COM port's refusals, which need no device: each with its error
// number and the system's reason. The exchanges over a real line are in
// the pseudo-terminal tests (port_peer.cpp and its Linux-side driver).
#include <gtest/gtest.h>

#include "vostrel/platform.hpp"

namespace vostrel::platform {
namespace {

int NumberOf(const std::function<void()>& f, std::string* what = nullptr) {
    try {
        f();
    } catch (const Error& e) {
        if (what != nullptr) *what = e.what();
        return e.Number();
    }
    return 0;
}

TEST(Win32SerialPort, PortNumbersNameComDevicesAndMapsOverride) {
    PortMap ports;
    EXPECT_EQ(ports.Path(1), "\\\\.\\COM1");
    EXPECT_EQ(ports.Path(12), "\\\\.\\COM12");
    EXPECT_EQ(NumberOf([&] { ports.Path(0); }), err::kPortInvalid);
    ports.Map(0, "\\\\.\\COM7");
    EXPECT_EQ(ports.Path(0), "\\\\.\\COM7");
}

TEST(Win32SerialPort, AMissingPortIsRefusedWithTheSystemsReason) {
    DefaultLoop loop;
    SerialPort port(loop);
    port.CommPort(199);
    std::string what;
    EXPECT_EQ(NumberOf([&] { port.PortOpen(kTrue); }, &what), err::kPortInvalid);
    EXPECT_NE(what.find("COM199"), std::string::npos) << what;
    EXPECT_NE(what.find("Win32 error 2:"), std::string::npos) << what;
    EXPECT_EQ(port.LastSystemError(), 2u);
    EXPECT_EQ(port.PortOpen(), kFalse);
}

TEST(Win32SerialPort, ClosedPortAndBadSettingsAreRefused) {
    DefaultLoop loop;
    SerialPort port(loop);
    EXPECT_EQ(NumberOf([&] { port.Output("x"); }), err::kPortNotOpen);
    EXPECT_EQ(NumberOf([&] { port.Input(); }), err::kPortNotOpen);
    for (const char* bad : {"0,n,8,1", "-300,n,8,1", "9600,m,8,1", "9600,n,9,1", "9600,n,8,3", "x"})
        EXPECT_EQ(NumberOf([&] { port.Settings(bad); }), err::kInvalidPropertyValue) << bad;
    EXPECT_EQ(port.Settings(), "9600,n,8,1");
    port.Settings("14400,e,7,2");
    EXPECT_EQ(port.Settings(), "14400,e,7,2");
    EXPECT_TRUE(port.Drain(std::chrono::milliseconds(0)));  // closed: nothing waits
    port.PortOpen(kFalse);                                  // closing a closed port is fine
}

TEST(Win32SerialPort, ControlOnAMissingPortReportsConnectionError) {
    DefaultLoop loop;
    auto nxt = MakeControl(loop);
    EXPECT_EQ(nxt->ConnectNXT(198, 9600), 1);
    EXPECT_EQ(nxt->ErrorMessage(), "Connection error");
    EXPECT_EQ(nxt->DisconnectNXT(), 0);
}

}  // namespace
}  // namespace vostrel::platform
