// The far end going away in the middle of traffic, and coming back: a brick
// that hangs up (with half a packet on the line), a device that vanishes
// from the system and reappears. Each must leave the control working,
// report through its results and events, and lose nothing delivered before.
#include <unistd.h>

#include <filesystem>

#include "sim/simulated_brick.hpp"
#include "tests/faults/fault_fixture.hpp"

namespace vostrel::faults {
namespace {

using sim::BrickEvent;
using sim::SimulatedBrick;

// The bricks here send only what a test asks for.
sim::BrickOptions QuietBrick() { return {}; }

// Counts the MESSAGEWRITEs a brick stored, on its own thread.
struct Received {
    std::mutex m;
    std::vector<std::string> texts;
    void Watch(SimulatedBrick& brick) {
        brick.SetObserver([this](const BrickEvent& e) {
            if (e.kind != BrickEvent::Kind::Received || e.status != 0) return;
            std::lock_guard lock(m);
            texts.push_back(e.bytes);
        });
    }
    std::size_t Count() {
        std::lock_guard lock(m);
        return texts.size();
    }
};

class LinkFaults : public FaultTest {};

TEST_F(LinkFaults, HangUpInTheMiddleOfAPacketThenTheBrickReturns) {
    SimulatedBrick first(QuietBrick());
    SimulatedBrick second(QuietBrick());
    Received atFirst, atSecond;
    atFirst.Watch(first);
    atSecond.Watch(second);
    platform::PortMap ports;
    ports.Map(1, first.DevicePath());
    ports.Map(2, second.DevicePath());
    MakeControl(ports, 300ms);
    CollectMail();
    ASSERT_EQ(nxt->ConnectNXT(1, 9600), 0) << nxt->ErrorMessage();

    // Traffic both ways, then half a packet and the hang-up.
    for (int i = 0; i < 20; ++i) first.SendText(3, "before " + std::to_string(i));
    for (int i = 0; i < 10; ++i) ASSERT_EQ(Send(2, "out " + std::to_string(i)), 0);
    ASSERT_TRUE(RunUntil([&] { return mail.size() == 20 && atFirst.Count() == 10; }));
    first.SendGarbage(std::string("\x0A\x00\x80\x09\x03", 5));
    ASSERT_TRUE(first.WaitUntil([](const sim::BrickStatus& s) { return s.bytesOut > 0; }, 2000ms));
    first.HangUp();

    // The control goes on: sending reports the dead line, the watchdog the
    // silence; the half packet files nothing.
    ASSERT_TRUE(RunUntil([&] { return Send(2, "into the void") == 1; }));
    EXPECT_EQ(nxt->ErrorMessage(), "Error parameters for send");
    const std::size_t noPings = NoPings();
    ASSERT_TRUE(RunUntil([&] { return NoPings() > noPings; }));
    EXPECT_EQ(nxt->ErrorMessage(), "Ping error");
    EXPECT_EQ(mail.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(mail[static_cast<std::size_t>(i)], Filed(3, "before " + std::to_string(i)));
    EXPECT_TRUE(host.errors.empty());

    // The brick returns (on another port, as a radio link may): the first
    // packet of the new link is not swallowed by the half one of the old.
    EXPECT_EQ(nxt->DisconnectNXT(), 0);
    ASSERT_EQ(nxt->ConnectNXT(2, 9600), 0) << nxt->ErrorMessage();
    second.SendText(4, "after");
    ASSERT_EQ(Send(5, "back again"), 0);
    ASSERT_TRUE(RunUntil([&] { return mail.size() == 21 && atSecond.Count() == 1; }));
    EXPECT_EQ(mail.back(), Filed(4, "after"));
    EXPECT_EQ(atSecond.texts[0], std::string("back again") + '\0');
    EXPECT_EQ(atFirst.Count(), 10u) << "nothing more reached the brick that hung up";
    EXPECT_TRUE(host.errors.empty());
}

TEST_F(LinkFaults, DeviceVanishesAndReappears) {
    // The port's device is a name that can vanish, as /dev/rfcomm0 does
    // when its radio link is released.
    const auto dir = std::filesystem::temp_directory_path() /
                     ("vostrel-faults-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto device = dir / "rfcomm0";
    platform::PortMap ports;
    ports.Map(1, device.string());
    MakeControl(ports);
    CollectMail();

    auto brick = std::make_unique<SimulatedBrick>(QuietBrick());
    std::filesystem::create_symlink(brick->DevicePath(), device);
    ASSERT_EQ(nxt->ConnectNXT(1, 9600), 0) << nxt->ErrorMessage();
    brick->SendText(1, "kept");
    ASSERT_TRUE(RunUntil([&] { return mail.size() == 1; }));

    // Gone: the line hangs up and the name disappears.
    brick.reset();
    std::filesystem::remove(device);
    ASSERT_TRUE(RunUntil([&] { return Send(1, "lost") == 1; }));
    EXPECT_EQ(nxt->DisconnectNXT(), 0);
    EXPECT_EQ(nxt->ConnectNXT(1, 9600), 1);
    EXPECT_EQ(nxt->ErrorMessage(), "Connection error");
    EXPECT_EQ(nxt->Connection(), kFalse);
    EXPECT_EQ(nxt->Comm1().PortOpen(), kFalse);

    // Back under the same name: the same port number connects again.
    brick = std::make_unique<SimulatedBrick>(QuietBrick());
    Received received;
    received.Watch(*brick);
    std::filesystem::create_symlink(brick->DevicePath(), device);
    ASSERT_EQ(nxt->ConnectNXT(1, 9600), 0) << nxt->ErrorMessage();
    EXPECT_EQ(nxt->Connection(), kTrue);
    brick->SendText(2, "again");
    ASSERT_EQ(Send(3, "hello"), 0);
    ASSERT_TRUE(RunUntil([&] { return mail.size() == 2 && received.Count() == 1; }));
    EXPECT_EQ(mail, (std::vector<std::string>{Filed(1, "kept"), Filed(2, "again")}));
    EXPECT_TRUE(host.errors.empty());

    nxt->DisconnectNXT();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vostrel::faults
