// The serial port over a real pseudo-terminal: exact bytes both ways on a
// raw line, settings, exclusive open, OnComm from the loop, hang-up.
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "platform/device_holders.hpp"
#include "tests/platform/platform_test_support.hpp"
#include "testsupport/memory_loop.hpp"

using namespace std::chrono_literals;
using vostrel::Error;
using vostrel::Integer;
using vostrel::kFalse;
using vostrel::kTrue;
using vostrel::String;
using vostrel::platform::PortMap;
using vostrel::platform::SerialPort;
using vostrel::testing::MemoryLoop;
using vostrel::testing::PtyPair;
namespace err = vostrel::err;

namespace {

int ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.Number();
    }
    return 0;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string TextOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

String AllBytes() {
    String s;
    for (int b = 0; b < 256; ++b) s.push_back(static_cast<char>(b));
    return s;
}

}  // namespace

TEST(PortMap, DefaultsToRfcommAndTakesAnyPath) {
    PortMap map;
    EXPECT_EQ(map.Path(0), "/dev/rfcomm0");
    EXPECT_EQ(map.Path(12), "/dev/rfcomm12");
    EXPECT_EQ(ErrorOf([&] { map.Path(-1); }), err::kPortInvalid);
    map.Map(3, "/dev/ttyUSB0");
    EXPECT_EQ(map.Path(3), "/dev/ttyUSB0");
    map.Map(12, "");
    EXPECT_EQ(ErrorOf([&] { map.Path(12); }), err::kPortInvalid);
}

class Port : public ::testing::Test {
protected:
    explicit Port(bool raw = true) : pty(raw) {}
    void SetUp() override {
        VOSTREL_NEED_PTY(pty);
        PortMap map;
        map.Map(5, pty.SlavePath());
        port = std::make_unique<SerialPort>(loop, map);
        port->OnComm([this] { ++notifications; });
        port->CommPort(5);
    }
    // What the loop does when the device is ready: deliver, then read.
    String ReceiveAll(std::size_t n) {
        String got;
        for (int i = 0; i < 1000 && got.size() < n; ++i) {
            loop.Ready(port->NativeHandle());
            got += port->Input();
            if (got.size() < n) std::this_thread::sleep_for(1ms);
        }
        return got;
    }
    // Outputs distinct 1000-byte packets to a line nobody reads until one is
    // refused; returns what was accepted, in order, and keeps the refusal.
    String Fill() {
        String accepted;
        for (int i = 0; refusal.empty(); ++i) {
            const String packet(1000, static_cast<char>('a' + i % 26));
            try {
                port->Output(packet);
                accepted += packet;
            } catch (const Error& e) {
                EXPECT_EQ(e.Number(), err::kDeviceIo);
                refusal = e.what();
            }
        }
        return accepted;
    }
    PtyPair pty;
    MemoryLoop loop;
    std::unique_ptr<SerialPort> port;
    int notifications = 0;
    std::string refusal;
};

class CookedPort : public Port {
protected:
    CookedPort() : Port(false) {}
};

TEST_F(CookedPort, EveryByteValueCrossesUnchangedBothWays) {
    // The pty starts cooked (echo, CR/LF translation, signal and flow-control
    // characters): only the port's own raw mode keeps the bytes intact.
    port->PortOpen(kTrue);
    const String all = AllBytes();
    port->Output(all);
    EXPECT_EQ(pty.Read(all.size()), all);
    pty.Write(all);
    EXPECT_EQ(ReceiveAll(all.size()), all);
    EXPECT_EQ(pty.ReadAvailable(), "") << "the line echoed what it received";
}

TEST_F(Port, InputReturnsWhatWaitedOnceThenNothing) {
    port->PortOpen(kTrue);
    pty.Write(vostrel::testing::BrickText(1, "world"));
    const String got = ReceiveAll(12);
    EXPECT_EQ(got, vostrel::testing::BrickText(1, "world"));
    EXPECT_EQ(port->Input(), "");
}

TEST_F(Port, OutputNeverWaitsAndWhatItQueuedLeavesFromTheLoopInOrder) {
    port->PortOpen(kTrue);
    // Nobody reads: the system's buffer fills, then the port's bounded
    // queue, then a packet is refused whole, with the reason.
    const String accepted = Fill();
    EXPECT_EQ(refusal, "the line is not taking bytes (" + std::to_string(port->Unsent()) +
                           " bytes waiting)");
    EXPECT_LE(port->Unsent(), vostrel::platform::kOutputQueueBytes);
    EXPECT_GT(port->Unsent() + 1000, vostrel::platform::kOutputQueueBytes);

    String far;
    std::thread reader([&] { far = pty.Read(accepted.size(), 20s); });
    for (int i = 0; i < 20000 && port->Unsent() > 0; ++i) {
        loop.Advance(10ms);  // the loop's retries: this loop cannot watch for room
        std::this_thread::sleep_for(100us);
    }
    reader.join();
    EXPECT_EQ(port->Unsent(), 0u);
    EXPECT_TRUE(far == accepted) << "the far end read " << far.size() << " of " << accepted.size()
                                 << " bytes, or another order";
    EXPECT_EQ(pty.ReadAvailable(), "") << "nothing of the refused packet";
}

TEST_F(Port, AClosedLineIsNeverLeftMidPacketForTheNextOpen) {
    port->PortOpen(kTrue);
    const String accepted = Fill();  // 1000-byte packets; the system holds part of one
    ASSERT_GT(port->Unsent(), 1000u);
    const std::string why = TextOf([&] { port->PortOpen(kFalse); });
    // The system may take a little more during the close's grace.
    std::size_t unsent = 0, packets = 0;
    ASSERT_EQ(std::sscanf(why.c_str(), "closed with %zu bytes of %zu packets not sent: ", &unsent,
                          &packets),
              2)
        << why;
    EXPECT_EQ(packets, (unsent + 999) / 1000) << why;
    const bool cut = unsent % 1000 != 0;
    EXPECT_EQ(Contains(why, "goes first when the device is opened again"), cut) << why;

    // Another port object opens the same device: its packet is read after
    // the cut one has been finished, never as its tail.
    PortMap map;
    map.Map(5, pty.SlavePath());
    SerialPort next(loop, map);
    next.CommPort(5);
    next.PortOpen(kTrue);
    next.Output("NEW");
    const std::size_t upToCut = (accepted.size() - unsent + 999) / 1000 * 1000;
    String far;
    std::thread reader([&] { far = pty.Read(upToCut + 3, 20s); });
    for (int i = 0; i < 20000 && next.Unsent() > 0; ++i) {
        loop.Advance(10ms);
        std::this_thread::sleep_for(100us);
    }
    reader.join();
    EXPECT_TRUE(far == accepted.substr(0, upToCut) + "NEW")
        << "the far end read " << far.size() << " bytes, ending \""
        << far.substr(far.size() > 8 ? far.size() - 8 : 0) << "\"";
    EXPECT_EQ(pty.ReadAvailable(), "") << "the packets the close dropped stay dropped";
    next.PortOpen(kFalse);
}

TEST_F(Port, APacketLargerThanTheQueueIsRefusedForItsSizeNotTheLine) {
    port->PortOpen(kTrue);
    const String big(100000, 'x');
    EXPECT_EQ(TextOf([&] { port->Output(big); }),
              "the packet of 100000 bytes is larger than the output queue (" +
                  std::to_string(vostrel::platform::kOutputQueueBytes) + " bytes)");
    EXPECT_EQ(port->Unsent(), 0u);
    port->Output("after");  // the idle line still takes a packet that fits
    EXPECT_EQ(pty.Read(5), "after");
}

TEST_F(CookedPort, AnOpenTheLoopRefusesHoldsNothing) {
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &before), 0);
    vostrel::testing::RefusingLoop closed;
    PortMap map;
    map.Map(5, pty.SlavePath());
    SerialPort refused(closed, map);
    refused.CommPort(5);
    EXPECT_THROW(refused.PortOpen(kTrue), std::runtime_error);
    EXPECT_EQ(refused.PortOpen(), kFalse);
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the line's settings were not put back";
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_NO_THROW(port->PortOpen(kTrue)) << "the device is still held";
}

TEST_F(Port, InputWaitingBeforeTheOpenIsDropped) {
    pty.Write("stale bytes");
    port->PortOpen(kTrue);
    pty.Write("new");
    EXPECT_EQ(ReceiveAll(3), "new");
}

TEST_F(Port, OnCommComesFromTheLoopOnlyAndOnlyWithBytes) {
    port->PortOpen(kTrue);
    EXPECT_EQ(notifications, 0);
    loop.Ready(port->NativeHandle());
    EXPECT_EQ(notifications, 0) << "notified with nothing received";
    pty.Write("ab");
    for (int i = 0; i < 1000 && notifications == 0; ++i) {
        loop.Ready(port->NativeHandle());
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(port->Input(), "ab");
}

TEST_F(Port, SecondOpenOfTheSameDeviceIsRefused) {
    port->PortOpen(kTrue);
    PortMap map;
    map.Map(5, pty.SlavePath());
    SerialPort second(loop, map);
    second.CommPort(5);
    EXPECT_EQ(ErrorOf([&] { second.PortOpen(kTrue); }), err::kPortAlreadyOpen);
    EXPECT_EQ(second.PortOpen(), kFalse);

    // Another process, which as root would pass the tty's exclusive mode.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        MemoryLoop l;
        SerialPort p(l, map);
        p.CommPort(5);
        const int n = ErrorOf([&] { p.PortOpen(kTrue); });
        ::_exit(n == err::kPortAlreadyOpen ? 1 : n == 0 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "0: the other process opened it too; 2: another error";

    port->PortOpen(kFalse);
    second.PortOpen(kTrue);  // free again once closed
    EXPECT_EQ(second.PortOpen(), kTrue);
}

TEST_F(Port, OpeningAnOpenPortFailsAndKeepsItOpen) {
    port->PortOpen(kTrue);
    EXPECT_EQ(ErrorOf([&] { port->PortOpen(kTrue); }), err::kPortAlreadyOpen);
    EXPECT_EQ(port->PortOpen(), kTrue);
}

TEST_F(Port, PortNumberCannotChangeWhileOpen) {
    port->PortOpen(kTrue);
    EXPECT_EQ(ErrorOf([&] { port->CommPort(6); }), err::kPortOpen);
    EXPECT_EQ(ErrorOf([&] { port->CommPort(5); }), err::kPortOpen);
    EXPECT_EQ(port->CommPort(), 5);
    EXPECT_EQ(port->PortOpen(), kTrue);
    port->PortOpen(kFalse);
    port->PortOpen(kFalse);  // closing a closed port does nothing
    port->CommPort(6);
    EXPECT_EQ(port->CommPort(), 6);
}

TEST_F(Port, PortWithoutADeviceIsRefused) {
    EXPECT_EQ(ErrorOf([&] { port->CommPort(-4); }), err::kPortInvalid);
    EXPECT_EQ(port->CommPort(), 5);
    PortMap map;
    map.Map(7, pty.SlavePath() + "-missing");
    SerialPort missing(loop, map);
    missing.CommPort(7);
    EXPECT_EQ(ErrorOf([&] { missing.PortOpen(kTrue); }), err::kPortInvalid);
    EXPECT_EQ(missing.PortOpen(), kFalse);
    EXPECT_PRED2(Contains, TextOf([&] { missing.PortOpen(kTrue); }), "No such file or directory");
    map.Map(8, "/dev/null");  // exists, but is no serial line
    SerialPort notTty(loop, map);
    notTty.CommPort(8);
    EXPECT_EQ(ErrorOf([&] { notTty.PortOpen(kTrue); }), err::kPortInvalid);
    EXPECT_PRED2(Contains, TextOf([&] { notTty.PortOpen(kTrue); }), "not a terminal");
    // The system would open the device named up to the NUL.
    EXPECT_EQ(ErrorOf([&] { map.Map(8, pty.SlavePath() + '\0' + "junk"); }), err::kPortInvalid);
    EXPECT_EQ(map.Path(8), "/dev/null");
}

TEST_F(Port, DeviceHeldByAProgramThatTakesNoLockIsRefusedNamingIt) {
    // A child that opens the line as `cat` would: no lock, no exclusive mode.
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const std::string path = pty.SlavePath();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Not the line's far end: let go of the inherited master side.
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != ready[1] && fd != release[0]) ::close(fd);
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        const char ok = fd >= 0 ? 'y' : 'n';
        [[maybe_unused]] ssize_t w = ::write(ready[1], &ok, 1);
        char c;
        [[maybe_unused]] ssize_t r = ::read(release[0], &c, 1);
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');

    EXPECT_EQ(ErrorOf([&] { port->PortOpen(kTrue); }), err::kPortAlreadyOpen);
    EXPECT_PRED2(Contains, TextOf([&] { port->PortOpen(kTrue); }),
                 "in use by process " + std::to_string(child));
    EXPECT_EQ(port->PortOpen(), kFalse);

    ASSERT_EQ(::write(release[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
    port->PortOpen(kTrue);  // free once the other program let go
    EXPECT_EQ(port->PortOpen(), kTrue);
}

#ifdef __linux__
// Who, holding the device, makes the port refuse it.
TEST(DeviceHolders, OnlyTheRfcommProgramKeepingItsLinkUpAndTheFarEndAreLetBe) {
    using vostrel::platform::detail::CompetesForLine;
    using vostrel::platform::detail::HolderFacts;
    using vostrel::platform::detail::kRfcommMajor;
    constexpr unsigned kPtySlave = 136, kUsbSerial = 188;
    // `rfcomm connect 0 ADDR` holds /dev/rfcomm0 read-only while the link is up.
    const HolderFacts rfcomm{"rfcomm", true, false, false};
    EXPECT_FALSE(CompetesForLine(rfcomm, kRfcommMajor));
    // Not the rfcomm device it brings up, or holding it for writing: it may
    // take or send the brick's bytes.
    EXPECT_TRUE(CompetesForLine(rfcomm, kPtySlave));
    EXPECT_TRUE(CompetesForLine(rfcomm, kUsbSerial));
    EXPECT_TRUE(CompetesForLine({"rfcomm", true, true, false}, kRfcommMajor));
    // Any other program reading the line would take the brick's replies.
    for (const char* name : {"cat", "minicom", "rfcomm2", "", "Rfcomm"})
        EXPECT_TRUE(CompetesForLine({name, true, false, false}, kRfcommMajor)) << name;
    // The master side of the line's pseudo-terminal is its far end.
    EXPECT_FALSE(CompetesForLine({"vostrel", true, true, true}, kPtySlave));
    EXPECT_FALSE(CompetesForLine({"cat", false, false, false}, kRfcommMajor));
}

// Which descriptors the search looks at, and which devpts instance a
// terminal is of (a container's terminals have the same numbers).
TEST(DeviceHolders, OnlyDeviceLinksAreFollowedAndTerminalsCompareTheirInstance) {
    using namespace vostrel::platform::detail;
    for (const char* device : {"/dev/pts/3", "/dev/rfcomm0", "/dev/ttyUSB0", "/dev/ptmx"})
        EXPECT_TRUE(NamesDevice(device)) << device;
    // A file on a dead sshfs or NFS mount, or a stopped FUSE daemon's, is
    // never followed; nor what is no file.
    for (const char* other : {"/home/u/sshfs/notes.txt", "/mnt/nfs/dev/ttyS0", "socket:[4242]",
                              "pipe:[17]", "anon_inode:[eventfd]", "/memfd:x (deleted)",
                              "/dev/shm/queue", "/dev/", "dev/pts/3", "/dev/pts/9 (deleted)", ""})
        EXPECT_FALSE(NamesDevice(other)) << other;

    const unsigned long long hostPts = makedev(0, 26), containerPts = makedev(0, 41);
    const DeviceId pts3{hostPts, makedev(136, 3)};
    EXPECT_TRUE(SameDevice(pts3, pts3));
    EXPECT_FALSE(SameDevice(pts3, {containerPts, makedev(136, 3)}));
    EXPECT_FALSE(SameDevice(pts3, {hostPts, makedev(136, 4)}));
    // Any other device is one device wherever its node lies.
    EXPECT_TRUE(SameDevice({6, makedev(188, 0)}, {57, makedev(188, 0)}));

    const std::string mountinfo =
        "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "24 22 0:6 / /dev rw - devtmpfs udev rw\n"
        "25 24 0:24 / /dev/pts rw - devpts devpts rw\n"
        "29 25 0:26 / /dev/pts rw shared:3 - devpts devpts rw,ptmxmode=000\n"
        "31 22 0:41 / /srv/box\\040one/dev/pts rw - devpts devpts rw\n";
    // The devpts on the multiplexer's folder's "pts" (the top one), or the
    // one the multiplexer lies in.
    EXPECT_EQ(PtmxInstance("/dev/ptmx", mountinfo), hostPts);
    EXPECT_EQ(PtmxInstance("/dev/pts/ptmx", mountinfo), hostPts);
    EXPECT_EQ(PtmxInstance("/srv/box one/dev/ptmx", mountinfo), containerPts);
    EXPECT_EQ(PtmxInstance("/tmp/ptmx", mountinfo), std::nullopt);
}
#endif

TEST_F(Port, DrainWaitsUntilEveryAcceptedByteHasLeft) {
    port->PortOpen(kTrue);
    const String big = Fill();
    ASSERT_GT(port->Unsent(), 0u) << "the line took everything";
    EXPECT_FALSE(port->Drain(20ms)) << "nothing reads the line";

    String far;
    std::thread reader([&] { far = pty.Read(big.size(), 20s); });
    EXPECT_TRUE(port->Drain(20s));
    EXPECT_EQ(port->Unsent(), 0u);
    reader.join();
    EXPECT_TRUE(far == big);
    port->PortOpen(kFalse);
    EXPECT_EQ(port->LostAtClose(), 0u);
}

TEST_F(Port, ACancelledWaitEndsAtOnceAndTheLossIsReported) {
    port->PortOpen(kTrue);
    int cancel[2];
    ASSERT_EQ(::pipe(cancel), 0);
    port->CancelWaitsOn(cancel[0]);
    ASSERT_EQ(::write(cancel[1], "x", 1), 1);  // cancelled before any wait
    // No reader: the line takes what fits, and the rest stays queued.
    const String big = Fill();
    const std::size_t unsent = port->Unsent();
    ASSERT_GT(unsent, 0u);
    // Would otherwise wait for ever: nothing reads the line.
    EXPECT_FALSE(port->Drain(std::chrono::hours(1)));
    EXPECT_PRED2(Contains, TextOf([&] { port->PortOpen(kFalse); }), "closing was cut short");
    EXPECT_EQ(port->PortOpen(), kFalse);
    // Room the system made meanwhile was still used: only writes that had
    // to wait were given up.
    const std::size_t lost = port->LostAtClose();
    EXPECT_GT(lost, 0u);
    EXPECT_LE(lost, unsent);
    // What reached the line is the front of what was accepted.
    EXPECT_TRUE(pty.Read(big.size() - lost) == big.substr(0, big.size() - lost));
    ::close(cancel[0]);
    ::close(cancel[1]);
}

TEST_F(CookedPort, LineSettingsFromBeforeTheOpenAreRestoredAtClose) {
    const auto settings = [&] {
        const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        EXPECT_EQ(::tcgetattr(fd, &t), 0);
        ::close(fd);
        return t;
    };
    const termios before = settings();
    ASSERT_NE(before.c_lflag & ECHO, 0u) << "the pty should start cooked";
    port->Settings("19200,n,8,1");
    for (int round = 0; round < 2; ++round) {
        port->PortOpen(kTrue);
        termios open{};
        ASSERT_EQ(::tcgetattr(port->NativeHandle(), &open), 0);
        EXPECT_EQ(open.c_lflag & ECHO, 0u);
        if (round == 0)
            port->PortOpen(kFalse);
        else
            port.reset();  // the destructor closes too
        const termios after = settings();
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
    }
}

TEST_F(Port, ClosedPortRefusesOutputAndInput) {
    EXPECT_EQ(ErrorOf([&] { port->Output("x"); }), err::kPortNotOpen);
    EXPECT_EQ(ErrorOf([&] { port->Input(); }), err::kPortNotOpen);
}

TEST_F(Port, SettingsTakeAnySpeedAndRefuseBadTexts) {
    for (const char* good : {"9600,n,8,1", "14400,n,8,1", "115200,N,8,1", " 19200 , e , 7 , 2 "}) {
        EXPECT_EQ(ErrorOf([&] { port->Settings(good); }), 0) << good;
        EXPECT_EQ(port->Settings(), good);
    }
    port->Settings("9600,n,8,1");
    for (const char* bad :
         {"0,n,8,1", "-300,n,8,1", "", "9600", "9600,n,8", "9600,n,8,1,1", "abc,n,8,1",
          "9600,x,8,1", "9600,n,9,1", "9600,n,4,1", "9600,n,8,3", "9600,n,8,1.5", "9600,m,8,1",
          "99999999999999999999,n,8,1", "+9600,n,8,1", "96 00,n,8,1"}) {
        EXPECT_EQ(ErrorOf([&] { port->Settings(bad); }), err::kInvalidPropertyValue) << bad;
        EXPECT_EQ(port->Settings(), "9600,n,8,1");
    }
}

TEST_F(Port, SpeedWithoutAStandardConstantTakesOnTheOpenLine) {
    port->Settings("14400,n,8,1");
    port->PortOpen(kTrue);
    port->Output("x");
    EXPECT_EQ(pty.Read(1), "x");
    port->Settings("9600,n,8,1");  // changed on the open line
    termios t{};
    ASSERT_EQ(::tcgetattr(port->NativeHandle(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B9600));
}

TEST_F(Port, FarEndHangUpIsReportedOnceAndThenNotWatched) {
    port->PortOpen(kTrue);
    const int fd = port->NativeHandle();
    pty.HangUp();
    loop.Ready(fd);
    EXPECT_EQ(notifications, 1);
    EXPECT_TRUE(port->HungUp());
    EXPECT_FALSE(loop.Watching(fd)) << "a hung-up line would keep the loop spinning";
    EXPECT_EQ(port->Input(), "");
    EXPECT_EQ(ErrorOf([&] { port->Output("x"); }), err::kDeviceIo);
    EXPECT_EQ(port->PortOpen(), kTrue);  // until the host closes it
    port->PortOpen(kFalse);
    EXPECT_EQ(port->PortOpen(), kFalse);
}

TEST_F(Port, ReceivedBytesBeyondTheLimitPauseReadingUntilInput) {
    port->PortOpen(kTrue);
    const String big(SerialPort::kMaxWaiting + 5000, 'z');
    std::thread far([&] { pty.Write(big); });
    // Deliveries only, no Input: the port keeps reading until it holds the limit.
    for (int i = 0; i < 5000 && loop.Watching(port->NativeHandle()); ++i) {
        loop.Ready(port->NativeHandle());
        std::this_thread::sleep_for(100us);
    }
    EXPECT_FALSE(loop.Watching(port->NativeHandle()));
    String got = port->Input();
    EXPECT_TRUE(loop.Watching(port->NativeHandle())) << "Input did not resume reading";
    for (int i = 0; i < 5000 && got.size() < big.size(); ++i) {
        got += port->Input();
        std::this_thread::sleep_for(1ms);
    }
    far.join();
    EXPECT_EQ(got, big);
}
