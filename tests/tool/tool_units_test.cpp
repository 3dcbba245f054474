// The tool's pure parts: JSON events, port arguments, the device listing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tool/event_output.hpp"
#include "tool/line_splitter.hpp"
#include "tool/output_writer.hpp"
#include "tool/port_argument.hpp"
#include "tool/queued_writer.hpp"
#include "tool/serial_devices.hpp"
#include "vostrel/escaped_text.hpp"

namespace vostrel::tool {
namespace {

using namespace std::string_literals;
using nlohmann::json;

TEST(EventOutput, JsonLinesCarryTextAndEveryStoredByte) {
    std::ostringstream out;
    EventOutput o(out, true);
    o.Mail(1, "world\0"s);
    o.Read(2, "A\0\x08\x00\xff"s);
    o.Connect(0, "No errores");
    o.NoPing("Ping error");
    o.Sent(3, 1, "Error parameters for send");
    o.Error("bad \"line\"");
    std::istringstream in(out.str());
    std::string line;
    std::vector<json> lines;
    while (std::getline(in, line)) lines.push_back(json::parse(line));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0],
              json::parse(R"({"event":"mail","mailbox":1,"text":"world","hex":"776f726c6400"})"));
    EXPECT_EQ(lines[1]["text"], "A");
    EXPECT_EQ(lines[1]["hex"], "41000800ff");
    EXPECT_EQ(lines[2], json::parse(R"({"event":"connect","result":0,"status":"No errores"})"));
    EXPECT_EQ(lines[3], json::parse(R"({"event":"noping","status":"Ping error"})"));
    EXPECT_EQ(
        lines[4],
        json::parse(
            R"({"event":"sent","mailbox":3,"result":1,"status":"Error parameters for send"})"));
    EXPECT_EQ(lines[5]["message"], "bad \"line\"");
}

TEST(EventOutput, BytesThatAreNotUtf8StillMakeValidJson) {
    std::ostringstream out;
    EventOutput(out, true).Mail(0, "\xe8\x03\0"s);
    const json j = json::parse(out.str());
    EXPECT_EQ(j["hex"], "e80300");
    EXPECT_EQ(Printable("a\\\x01\0zz"s), "a\\x5c\\x01");
}

// Names from the air go through the same rule, bounded: a cut never splits
// an escape and the result stays within the limit.
TEST(EventOutput, EscapedTextIsBoundedWithoutSplittingAnEscape) {
    EXPECT_EQ(vostrel::EscapedText("\x1b[2J\n"), "\\x1b[2J\\x0a");
    const struct {
        std::string text;
        std::size_t limit;
        std::string expected;
    } cases[] = {
        {"abcdef", 6, "abcdef"},
        {"abcdefg", 6, "abc..."},
        {"ab\x1b"
         "cdef",
         8, "ab..."},
        {"\x1b\x1b\x1b", 12, "\\x1b\\x1b\\x1b"},
        {"abcdef", 2, ".."},
    };
    for (const auto& c : cases) {
        const std::string got = vostrel::EscapedText(c.text, c.limit);
        EXPECT_EQ(got, c.expected) << c.text;
        EXPECT_LE(got.size(), c.limit);
    }
}

std::vector<std::string> Texts(const std::vector<LineSplitter::Line>& lines) {
    std::vector<std::string> texts;
    for (const auto& l : lines) texts.push_back(l.tooLong ? "<too long>" : l.text);
    return texts;
}

TEST(LineSplitter, AnOverlongLineIsRefusedOnceUpToItsLineBreak) {
    LineSplitter s(8);
    EXPECT_EQ(Texts(s.Feed("read 1\nabc")), (std::vector<std::string>{"read 1"}));
    // Crossing the limit refuses the line at once; its tail never becomes a line.
    EXPECT_EQ(Texts(s.Feed("defghi")), (std::vector<std::string>{"<too long>"}));
    EXPECT_EQ(Texts(s.Feed("quit")), (std::vector<std::string>{}));
    EXPECT_EQ(Texts(s.Feed("\nquit\n")), (std::vector<std::string>{"quit"}));
    // Limit and newline in the same piece; a line of exactly the limit is taken.
    EXPECT_EQ(Texts(s.Feed("123456789 text 2 X\n12345678\n")),
              (std::vector<std::string>{"<too long>", "12345678"}));
    EXPECT_FALSE(s.Finish().has_value());
}

TEST(LineSplitter, TheLastLineWithoutABreakCountsUnlessRefused) {
    LineSplitter s(8);
    s.Feed("quit");
    EXPECT_EQ(s.Finish().value().text, "quit");
    s.Feed("123456789quit");
    EXPECT_FALSE(s.Finish().has_value());
    EXPECT_EQ(Texts(s.Feed("a\n")), (std::vector<std::string>{"a"}));  // a new line after Finish
}

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
    ~Pipe() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    void CloseReader() {
        ::close(fds[0]);
        fds[0] = -1;
    }
    std::string ReadSome() {
        char buf[65536];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    }
};

bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

TEST(OutputWriter, AReaderThatStopsReadingCostsLinesNotTime) {
    Pipe pipe;
    ASSERT_GT(::fcntl(pipe.fds[1], F_SETPIPE_SZ, 4096), 0);
    OutputWriter w(pipe.fds[1], [](std::uint64_t n) { return "dropped " + std::to_string(n); });
    const std::string line(1000, 'x');
    const std::size_t fits = (OutputWriter::kMaxQueued + 4096) / (line.size() + 1);
    for (std::size_t i = 0; i < fits + 5; ++i) w.Line(line);  // none of these waits for the reader
    int interrupt[2];
    ASSERT_EQ(::pipe2(interrupt, O_CLOEXEC), 0);
    ASSERT_EQ(::write(interrupt[1], "i", 1), 1);
    EXPECT_FALSE(w.Flush(interrupt[0], std::chrono::milliseconds(20)));  // interrupted: gives up
    // Once the reader reads, the rest arrives with the count of what was dropped.
    std::string all;
    while (all.find("dropped") == std::string::npos && Readable(pipe.fds[0], 2000)) {
        all += pipe.ReadSome();
        w.Line("after");
    }
    EXPECT_TRUE(w.Flush(-1, std::chrono::milliseconds(0)));
    while (Readable(pipe.fds[0], 0)) all += pipe.ReadSome();
    const std::size_t at = all.find("dropped ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GE(std::stoul(all.substr(at + 8)), 5u);
    EXPECT_EQ(all.find('\n', at), all.find("after") - 1) << "the notice comes before the next line";
    EXPECT_TRUE(w.Failure().empty());
    ::close(interrupt[0]);
    ::close(interrupt[1]);
}

TEST(OutputWriter, AReaderThatWentAwayIsAFailureEvenWhileIdle) {
    Pipe pipe;
    OutputWriter w(pipe.fds[1], [](std::uint64_t) { return std::string(); });
    w.Line("first");
    EXPECT_TRUE(w.Flush(-1, std::chrono::milliseconds(0)));
    EXPECT_FALSE(Readable(w.FailedFd(), 0));
    pipe.CloseReader();  // nothing more is written, and still it is noticed
    EXPECT_TRUE(Readable(w.FailedFd(), 5000));
    EXPECT_EQ(w.Failure(), std::strerror(EPIPE));
    EXPECT_FALSE(w.Flush(-1, std::chrono::milliseconds(0)));
}

// The Windows tool's writer, standard C++ only: tested here on a pipe.
TEST(QueuedWriter, AReaderThatStopsReadingCostsLinesNotTime) {
    Pipe pipe;
    ASSERT_GT(::fcntl(pipe.fds[1], F_SETPIPE_SZ, 4096), 0);
    std::FILE* out = ::fdopen(::dup(pipe.fds[1]), "w");
    ASSERT_NE(out, nullptr);
    {
        int failures = 0;
        QueuedWriter w(
            out, [](std::uint64_t n) { return "dropped " + std::to_string(n); },
            [&](const std::string&) { ++failures; });
        const std::string line(1000, 'x');
        const std::size_t fits = (QueuedWriter::kMaxQueued + 2 * 4096 + BUFSIZ) / (line.size() + 1);
        for (std::size_t i = 0; i < fits + 5; ++i) w.Line(line);  // none waits for the reader
        EXPECT_FALSE(w.Flush(std::chrono::milliseconds(20)));
        std::string all;
        while (all.find("dropped") == std::string::npos && Readable(pipe.fds[0], 2000)) {
            all += pipe.ReadSome();
            w.Line("after");
        }
        while (!w.Flush(std::chrono::milliseconds(10)) && Readable(pipe.fds[0], 2000))
            all += pipe.ReadSome();
        while (Readable(pipe.fds[0], 0)) all += pipe.ReadSome();
        const std::size_t at = all.find("dropped ");
        ASSERT_NE(at, std::string::npos);
        EXPECT_GE(std::stoul(all.substr(at + 8)), 5u);
        EXPECT_EQ(all.find('\n', at), all.find("after") - 1)
            << "the notice comes before the next line";
        EXPECT_TRUE(w.Failure().empty());
        EXPECT_EQ(failures, 0);
    }
    std::fclose(out);
}

TEST(QueuedWriter, AFailedWriteIsReportedOnceAndEndsWriting) {
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    {
        std::vector<std::string> why;
        QueuedWriter w(
            full, [](std::uint64_t) { return std::string(); },
            [&](const std::string& reason) { why.push_back(reason); });
        w.Line("lost");
        EXPECT_FALSE(w.Flush(std::chrono::milliseconds(5000)));
        w.Line("not even tried");
        EXPECT_FALSE(w.Flush(std::chrono::milliseconds(50)));
        EXPECT_EQ(w.Failure(), std::strerror(ENOSPC));
        ASSERT_EQ(why.size(), 1u);
        EXPECT_EQ(why[0], std::strerror(ENOSPC));
    }
    std::fclose(full);
}

TEST(PortArgument, NumbersMapAsThePlatformDoesPathsGetANumber) {
    PortChoice n = ResolvePort("5");
    EXPECT_EQ(n.number, 5);
    EXPECT_EQ(n.path, "/dev/rfcomm5");
    PortChoice p = ResolvePort("/dev/pts/7");
    EXPECT_EQ(p.map.Path(p.number), "/dev/pts/7");
    EXPECT_EQ(ResolvePort("-1").path, "");  // no device: the control reports it
    EXPECT_THROW(ResolvePort("40000"), std::invalid_argument);
    EXPECT_THROW(ResolvePort(""), std::invalid_argument);
    // Cut at the NUL, it would name another device.
    EXPECT_THROW(ResolvePort(std::string("/dev/pts/7\0junk", 15)), std::invalid_argument);
}

TEST(PortArgument, ShellWordsReadBackAsTheyWereMeant) {
    for (const auto& [text, word] : {std::pair{"NXT"s, "NXT"s},
                                     {"/dev/ttyUSB0", "/dev/ttyUSB0"},
                                     {"My NXT", "'My NXT'"},
                                     {"~", "'~'"},
                                     {" ", "' '"},
                                     {"it's $HOME", "'it'\\''s $HOME'"},
                                     {"a*b", "'a*b'"}})
        EXPECT_EQ(ShellWord(text), word);
}

TEST(SerialDevices, ListsRfcommAndHardwareTtysOnly) {
    namespace fs = std::filesystem;
    const fs::path root =
        fs::temp_directory_path() / ("vostrel-ports-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path sys = root / "sys", dev = root / "dev";
    for (const char* name :
         {"rfcomm0", "rfcomm10", "ttyUSB0", "ttyS0", "ttyS1", "tty0", "ttyS10"}) {
        fs::create_directories(sys / name);
    }
    fs::create_directories(dev);
    for (const char* name : {"rfcomm0", "rfcomm10", "ttyUSB0", "ttyS0", "ttyS1", "ttyS10"})
        std::ofstream(dev / name) << "";
    fs::create_directories(sys / "ttyUSB0" / "device");
    fs::create_directories(sys / "ttyS0" / "device");
    fs::create_directories(sys / "ttyS10" / "device");
    fs::create_directories(sys / "ttyS1" / "device");
    std::ofstream(sys / "ttyS1" / "type") << "0\n";  // a UART slot with no chip
    std::ofstream(sys / "ttyS0" / "type") << "4\n";
    fs::create_directories(sys / "rfcomm7");  // bound, but no device node
    const auto list = ListSerialDevices(sys.string(), dev.string());
    std::vector<std::string> names;
    for (const auto& d : list) names.push_back(fs::path(d.path).filename().string());
    EXPECT_EQ(names,
              (std::vector<std::string>{"rfcomm0", "rfcomm10", "ttyS0", "ttyS10", "ttyUSB0"}));
    ASSERT_EQ(list.size(), 5u);
    EXPECT_TRUE(list[1].bluetooth);
    EXPECT_EQ(list[1].port, 10);
    EXPECT_FALSE(list[4].bluetooth);
    EXPECT_FALSE(list[4].port.has_value());
    EXPECT_TRUE(ListSerialDevices((root / "none").string(), dev.string()).empty());
    fs::remove_all(root);
}

TEST(SerialDevices, WindowsDeviceMapEntriesGiveTheirPortNumberAndBluetoothMark) {
    auto bt = ComPortEntry("\\Device\\BthModem2", "COM12");
    ASSERT_TRUE(bt);
    EXPECT_EQ(bt->path, "\\\\.\\COM12");
    EXPECT_EQ(bt->port, 12);
    EXPECT_TRUE(bt->bluetooth);
    EXPECT_EQ(bt->driver, "BthModem2");
    auto plain = ComPortEntry("\\Device\\Serial0", "com1");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->port, 1);
    EXPECT_FALSE(plain->bluetooth);
    EXPECT_TRUE(ComPortEntry("\\Device\\BTHENUM_x", "COM3")->bluetooth);
    for (const char* notCom : {"LPT1", "COM", "COM0", "COMx", "COM99999", ""})
        EXPECT_FALSE(ComPortEntry("\\Device\\Serial0", notCom)) << notCom;
}

}  // namespace
}  // namespace vostrel::tool
