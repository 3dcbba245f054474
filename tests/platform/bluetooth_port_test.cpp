// The Bluetooth port over a stand-in for the RFCOMM socket: a loopback TCP
// connection whose far end plays the brick with the simulated brick's
// engine. Connect, queue, whole packets, hang-up and exclusivity run
// through the port's own code; only the socket's making is replaced.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <tuple>

#include "platform/linux/rfcomm_abi.hpp"
#include "sim/brick_engine.hpp"
#include "sim/wire.hpp"
#include "tests/platform/platform_test_support.hpp"
#include "testsupport/recording_host.hpp"

using namespace std::chrono_literals;
using namespace vostrel;
using platform::BluetoothListing;
using platform::BluetoothPort;
using vostrel::testing::RunUntil;

namespace {

constexpr const char* kAddress = "00:16:53:0A:1B:2C";

BluetoothListing OneBrick(int /*cancelFd*/ = -1) {
    BluetoothListing l;
    l.adapters = {{"hci0", "11:22:33:44:55:66", true}};
    l.devices = {{kAddress, "NXT", "hci0", true, false}};
    return l;
}

// A loopback listener; its port stands for the brick's channel.
struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    explicit Listener(int backlog = 4) {
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof at;
        ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
        ::listen(fd, backlog);
    }
    ~Listener() { ::close(fd); }
    // The stand-in for OpenRfcommLink: the same non-blocking start.
    platform::LinkOpener Opener() const {
        return [at = at](const std::string&) {
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (::connect(s, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0)
                return platform::LinkStart{s, false};
            if (errno == EINPROGRESS) return platform::LinkStart{s, true};
            const int e = errno;
            ::close(s);
            throw Error(err::kDeviceIo, platform::LinkErrorText(e));
        };
    }
    int Accept() const {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 5000) == 1 ? ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK) : -1;
    }
};

// The brick at the far end: the engine's rules on what arrives.
struct FarBrick {
    int fd = -1;
    sim::BrickEngine engine;
    sim::PacketReader reader;
    std::vector<sim::Outcome> got;
    ~FarBrick() {
        if (fd >= 0) ::close(fd);
    }
    void Pump() {
        char buf[4096];
        ssize_t n;
        while (fd >= 0 && (n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            for (const auto& t : reader.Feed({buf, static_cast<std::size_t>(n)})) {
                got.push_back(engine.Handle(t));
                if (!got.back().reply.empty())
                    ::send(fd, got.back().reply.data(), got.back().reply.size(), 0);
            }
    }
    void Send(const std::string& bytes) const {
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
};

struct Counter {
    int n = 0;
    void operator()() { ++n; }
};

}  // namespace

TEST(BluetoothPort, ConnectsFromTheLoopTheQueuedToneLeavesFirstAndMailArrives) {
    platform::DefaultLoop loop;
    Listener brickChannel;
    platform::PortMap ports;
    ports.MapBrick(5, "NXT");
    vostrel::testing::RecordingSink sink;
    auto owned = std::make_unique<BluetoothPort>(loop, ports, brickChannel.Opener(), OneBrick);
    BluetoothPort& port = *owned;
    Vostrel nxt(std::move(owned), std::make_unique<platform::LoopTimer>(loop), nullptr);
    nxt.UserControl_InitProperties();
    nxt.SetEventSink(&sink);

    // Neither waits for the link: tone and text wait in the port's queue.
    ASSERT_EQ(nxt.ConnectNXT(5, 9600), 0) << (nxt.LastError() ? nxt.LastError()->what() : "");
    ASSERT_EQ(nxt.SendText(1, "hello"), 0);
    EXPECT_EQ(port.Address(), kAddress) << "the name resolved through the listing";

    FarBrick brick;
    brick.fd = brickChannel.Accept();
    ASSERT_GE(brick.fd, 0);
    ASSERT_TRUE(RunUntil(loop, [&] {
        brick.Pump();
        return brick.got.size() >= 2;
    }));
    EXPECT_EQ(brick.got[0].kind, sim::Outcome::Kind::PlayTone) << "the tone goes first";
    EXPECT_EQ(brick.got[1].kind, sim::Outcome::Kind::MessageWrite);
    EXPECT_EQ(brick.got[1].message, std::string("hello\0", 6));
    EXPECT_FALSE(port.Connecting());
    EXPECT_EQ(port.Unsent(), 0u);

    // A packet split over two writes still arrives as one.
    const std::string mail = sim::Frame(sim::MessageTelegram(3, "hi"));
    brick.Send(mail.substr(0, 3));
    loop.run_for(20ms);
    brick.Send(mail.substr(3));
    ASSERT_TRUE(RunUntil(loop, [&] { return !sink.events.empty(); }));
    Integer box = 3;
    EXPECT_EQ(nxt.ReadText(box), std::string("hi\0", 3));

    // The brick goes away: one OnComm for the hang-up, then nothing is watched.
    ::close(brick.fd);
    brick.fd = -1;
    ASSERT_TRUE(RunUntil(loop, [&] { return port.HungUp(); }));
    const auto wakeups = loop.Wakeups();
    loop.run_for(100ms);
    EXPECT_LT(loop.Wakeups() - wakeups, 5u) << "a hung-up link must not keep the loop awake";
    EXPECT_NE(port.LinkFailure().find("closed"), std::string::npos) << port.LinkFailure();
    EXPECT_EQ(nxt.SendText(1, "x"), 1);
    EXPECT_EQ(nxt.DisconnectNXT(), 0);
}

TEST(BluetoothPort, AResetAfterTheLastBytesIsTheBricksHangUpAndTheirMailIsFiled) {
    // The kernel ends an RFCOMM link the brick closed with ECONNRESET after
    // its last bytes; a loopback reset (linger 0) does the same.
    platform::DefaultLoop loop;
    Listener brickChannel;
    platform::PortMap ports;
    ports.MapBrick(5, "NXT");
    vostrel::testing::RecordingSink sink;
    auto owned = std::make_unique<BluetoothPort>(loop, ports, brickChannel.Opener(), OneBrick);
    BluetoothPort& port = *owned;
    Vostrel nxt(std::move(owned), std::make_unique<platform::LoopTimer>(loop), nullptr);
    nxt.UserControl_InitProperties();
    nxt.SetEventSink(&sink);
    ASSERT_EQ(nxt.ConnectNXT(5, 9600), 0);
    FarBrick brick;
    brick.fd = brickChannel.Accept();
    ASSERT_GE(brick.fd, 0);
    ASSERT_TRUE(RunUntil(loop, [&] { return !port.Connecting(); }));

    brick.Send(sim::Frame(sim::MessageTelegram(2, "last words")));
    const linger reset{1, 0};
    ::setsockopt(brick.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(brick.fd);
    brick.fd = -1;
    ASSERT_TRUE(RunUntil(loop, [&] { return port.HungUp(); }));
    loop.run_for(50ms);
    Integer box = 2;
    EXPECT_EQ(nxt.ReadText(box), std::string("last words\0", 11)) << "filed before the hang-up";
    EXPECT_EQ(port.LinkFailure(),
              std::string("the link to ") + kAddress +
                  " ended: the brick closed the link (Connection reset by peer)");
    const auto wakeups = loop.Wakeups();
    loop.run_for(100ms);
    EXPECT_LT(loop.Wakeups() - wakeups, 5u) << "the hang-up is reported once";
    EXPECT_EQ(nxt.DisconnectNXT(), 0);
}

TEST(BluetoothPort, ALinkThatNeverComesUpIsAHangUpAndItsQueueIsBounded) {
    // A full accept queue drops further handshakes: the third connect stays
    // in progress, as an unanswered page to a brick out of range does.
    Listener full(0);
    platform::LinkOpener open = full.Opener();
    platform::LinkStart a = open(""), b = open("");
    std::this_thread::sleep_for(50ms);
    platform::DefaultLoop loop;
    platform::PortMap ports;
    ports.MapBrick(1, kAddress);
    BluetoothPort port(loop, ports, open, OneBrick, 200ms);
    Counter events;
    port.OnComm(std::ref(events));
    port.PortOpen(kTrue);
    pollfd p{port.NativeHandle(), POLLOUT, 0};
    if (!port.Connecting() || ::poll(&p, 1, 30) != 0) {
        ::close(a.fd);
        ::close(b.fd);
        GTEST_SKIP() << "this kernel completed the connect at once";
    }
    // Whole packets queue while the link comes up; what does not fit is
    // refused whole, at once.
    port.Output(std::string(platform::kOutputQueueBytes - 4, 'a'));
    EXPECT_THROW(port.Output("12345"), Error);
    port.Output("1234");
    EXPECT_EQ(port.Unsent(), platform::kOutputQueueBytes);

    ASSERT_TRUE(RunUntil(loop, [&] { return events.n > 0; }));
    loop.run_for(50ms);
    EXPECT_EQ(events.n, 1) << "reported once";
    EXPECT_TRUE(port.HungUp());
    EXPECT_NE(port.LinkFailure().find("timed out"), std::string::npos) << port.LinkFailure();
    EXPECT_EQ(port.Input(), "");
    try {
        port.PortOpen(kFalse);
        ADD_FAILURE() << "the queued bytes were lost: the close must say so";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kDeviceIo);
        EXPECT_NE(std::string(e.what()).find("timed out"), std::string::npos) << e.what();
    }
    ::close(a.fd);
    ::close(b.fd);
}

TEST(BluetoothPort, ARefusedLinkSaysSoAndABrickOpensOnce) {
    platform::DefaultLoop loop;
    platform::PortMap ports;
    ports.MapBrick(1, kAddress);
    {
        // Nothing listens on the closed listener's port.
        platform::LinkOpener refused = Listener().Opener();
        BluetoothPort port(loop, ports, refused, OneBrick);
        Counter events;
        port.OnComm(std::ref(events));
        std::string why;
        try {
            port.PortOpen(kTrue);
            ASSERT_TRUE(RunUntil(loop, [&] { return events.n > 0; }));
            why = port.LinkFailure();
        } catch (const Error& e) {
            why = e.what();
        }
        EXPECT_NE(why.find("refused"), std::string::npos) << why;
    }
    Listener brickChannel;
    BluetoothPort first(loop, ports, brickChannel.Opener(), OneBrick);
    BluetoothPort second(loop, ports, brickChannel.Opener(), OneBrick);
    first.PortOpen(kTrue);
    try {
        second.PortOpen(kTrue);
        ADD_FAILURE() << "a second open of the same brick";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), err::kPortAlreadyOpen);
    }
    first.PortOpen(kFalse);
    EXPECT_NO_THROW(second.PortOpen(kTrue)) << "free again once closed";
}

TEST(BluetoothPort, AnOpenTheLoopRefusesHoldsNothing) {
    vostrel::testing::RefusingLoop closed;
    platform::DefaultLoop loop;
    platform::PortMap ports;
    ports.MapBrick(1, kAddress);
    Listener brickChannel;
    BluetoothPort refused(closed, ports, brickChannel.Opener(), OneBrick);
    EXPECT_THROW(refused.PortOpen(kTrue), std::runtime_error);
    EXPECT_EQ(refused.PortOpen(), kFalse);
    const int far = brickChannel.Accept();
    ASSERT_GE(far, 0);
    pollfd p{far, POLLIN, 0};
    char byte;
    EXPECT_TRUE(::poll(&p, 1, 2000) == 1 && ::recv(far, &byte, 1, 0) == 0)
        << "the socket was left open";
    ::close(far);
    BluetoothPort next(loop, ports, brickChannel.Opener(), OneBrick);
    EXPECT_NO_THROW(next.PortOpen(kTrue)) << "the brick is still claimed";
}

TEST(BluetoothPort, OnThisKernelWithoutBluetoothConnectingFailsAtOnceSayingSo) {
    const int s = ::socket(31 /* AF_BLUETOOTH */, SOCK_STREAM, 3 /* BTPROTO_RFCOMM */);
    if (s >= 0) {
        ::close(s);
        GTEST_SKIP() << "this kernel has Bluetooth";
    }
    platform::DefaultLoop loop;
    platform::PortMap ports;
    ports.MapText(4, kAddress);
    auto nxt = platform::MakeControl(loop, nullptr, ports);
    ASSERT_EQ(nxt->ConnectNXT(4, 9600), 1);
    ASSERT_TRUE(nxt->LastError());
    EXPECT_NE(std::string(nxt->LastError()->what()).find("this system has no Bluetooth support"),
              std::string::npos)
        << nxt->LastError()->what();
    EXPECT_EQ(nxt->Comm1().PortOpen(), kFalse);
}

TEST(RfcommSocket, QueuedBytesAreThoseThePeerHasNotTakenAndAddressesKeepTheirOrder) {
    // The generic branch (what the loopback stand-in's Drain relies on); the
    // Bluetooth one runs in the Bluetooth VM stage.
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_EQ(platform::rfcomm::SocketQueued(sv[0]), 0) << "idle";
    const std::string bytes(1000, 'x');
    ASSERT_EQ(::send(sv[0], bytes.data(), bytes.size(), 0), 1000);
    EXPECT_GT(platform::rfcomm::SocketQueued(sv[0]), 0) << "the peer has not read";
    char buf[2000];
    EXPECT_EQ(::recv(sv[1], buf, sizeof buf, 0), 1000);
    EXPECT_EQ(platform::rfcomm::SocketQueued(sv[0]), 0) << "all taken";
    ::close(sv[0]);
    ::close(sv[1]);
    EXPECT_EQ(platform::rfcomm::SocketQueued(sv[0]), 0) << "cannot say: counts as empty";

    const platform::rfcomm::BdAddr a = platform::rfcomm::ToBdAddr("00:16:53:0a:1B:2C");
    EXPECT_EQ(a.b[0], 0x2C) << "least significant byte first";
    EXPECT_EQ(a.b[5], 0x00);
    EXPECT_EQ(platform::rfcomm::ToText(a), "00:16:53:0A:1B:2C");
}

TEST(BrickNames, ResolveToOnePairedBrickOrSayWhatWasFound) {
    using platform::BluetoothDevice;
    BluetoothListing two = OneBrick();
    two.devices.push_back({"00:16:53:0A:1B:2D", "NXT", "hci0", true, false});
    BluetoothListing unpaired = OneBrick();
    unpaired.devices[0].paired = false;
    BluetoothListing off = OneBrick();
    off.adapters[0].powered = false;
    BluetoothListing none;
    none.unavailable = "no system D-Bus to ask BlueZ";
    // What the air brings: a name that drives a terminal, a name that is
    // not plain text, an entry without an address, and thousands of them.
    BluetoothListing hostile = OneBrick();
    hostile.devices.push_back({"", "NoAddr", "hci0", true, false});
    hostile.devices.push_back({"00:16:53:0A:1B:2E", "\x1b[2J\x1b[31mNXT\n", "hci0", true, false});
    BluetoothListing crowd;
    crowd.adapters = OneBrick().adapters;
    for (int i = 0; i < 3000; ++i)
        crowd.devices.push_back({kAddress, std::string(300, 'x'), "hci0", i % 2 == 0, false});
    struct Case {
        std::string name;
        BluetoothListing listing;
        std::string expected;  // the address, or a part of the error
    } cases[] = {
        {"NXT", OneBrick(), kAddress},
        {"00:16:53:0a:1b:2c", none, kAddress},
        {"NXT", two, "2 paired devices are named \"NXT\": 00:16:53:0A:1B:2C 00:16:53:0A:1B:2D"},
        {"NXT", unpaired, "bluetoothctl pair 00:16:53:0A:1B:2C"},
        {"Nxt", OneBrick(), "BlueZ knows: \"NXT\" 00:16:53:0A:1B:2C"},
        {"NXT", none, "no system D-Bus"},
        {"NoAddr", hostile, "no paired Bluetooth device is named \"NoAddr\"; BlueZ knows: "},
        {"Phone", hostile, "\"\\x1b[2J\\x1b[31mNXT\\x0a\" 00:16:53:0A:1B:2E"},
        {"\x1b]0;x\x07", hostile, "named \"\\x1b]0;x\\x07\""},
        {"NXT", crowd, " and 2995 more: see `vostrel ports`"},
        {std::string(300, 'x'), crowd, "1500 paired devices are named \"xxx"},
        {std::string(300, 'x'), crowd, " and 1495 more: see `vostrel ports`"},
    };
    for (const auto& c : cases) {
        std::string got;
        try {
            got = platform::ResolveBrick(c.name, c.listing);
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), err::kPortInvalid);
            got = e.what();
        }
        EXPECT_NE(got.find(c.expected), std::string::npos) << c.name << ": " << got;
        EXPECT_EQ(got.find_first_of("\x1b\n\x07"), std::string::npos) << got;
        EXPECT_LT(got.size(), 1000u) << c.name;
        EXPECT_EQ(got.find("NoAddr\" "), std::string::npos) << got;
    }
    EXPECT_NO_THROW(platform::CheckCanReach(kAddress, OneBrick()));
    EXPECT_NO_THROW(platform::CheckCanReach(kAddress, none));
    for (const auto& [address, listing, part] :
         {std::tuple{std::string(kAddress), off, "is off"},
          {kAddress, unpaired, "not paired"},
          {"00:16:53:00:00:01", OneBrick(), "has not seen it"},
          {kAddress, BluetoothListing{}, "no Bluetooth adapter"}}) {
        try {
            platform::CheckCanReach(address, listing);
            ADD_FAILURE() << part;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(platform::PortArgument(OneBrick().devices[0], OneBrick()), "NXT");
    EXPECT_EQ(platform::PortArgument(two.devices[0], two), kAddress);
    EXPECT_EQ(platform::PortArgument(hostile.devices[2], hostile), "00:16:53:0A:1B:2E");
}
