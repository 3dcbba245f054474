// One far end, two kinds of host: how fast a control answers the brick's
// keep-alive query, how fast a text comes back through the host's NewMail
// handler, and how many mails a second its handler takes.
//
//   handler_bench [n]            a C++ control and sink in this process
//   handler_bench far-end [n]    prints "device: PATH", waits for a line on
//                                stdin (the host has connected), runs, prints
//                                the figures and exits: python_bench.py hosts
//                                a Python control against it
//
// The host's part, in either language: NewMail(1) reads the text and sends
// it back to mailbox 2; NewMail(3) reads the text and counts; NewMail(4)
// sends the count to mailbox 5.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/pty_pair.hpp"
#include "vostrel/platform.hpp"

using Clock = std::chrono::steady_clock;
using vostrel::testing::PtyPair;

namespace {

std::string Mail(int box, const std::string& text) {
    std::string t = "\x80\x09";
    t += static_cast<char>(box);
    t += static_cast<char>(text.size() + 1);
    t += text;
    t += '\0';
    std::string packet{static_cast<char>(t.size() & 0xFF), static_cast<char>(t.size() >> 8)};
    return packet + t;
}

class FarEnd {
public:
    explicit FarEnd(PtyPair& pty) : pty_(pty) {}

    // The next whole packet the host sent, header removed.
    std::string Packet() {
        for (;;) {
            if (buf_.size() >= 2) {
                const std::size_t len =
                    static_cast<unsigned char>(buf_[0]) | static_cast<unsigned char>(buf_[1]) << 8;
                if (buf_.size() >= 2 + len) {
                    std::string p = buf_.substr(2, len);
                    buf_.erase(0, 2 + len);
                    return p;
                }
            }
            pollfd p{pty_.Master(), POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) {
                std::fprintf(stderr, "far end: nothing from the host for 5 s\n");
                std::exit(1);
            }
            char chunk[4096];
            const ssize_t r = ::read(pty_.Master(), chunk, sizeof chunk);
            if (r > 0) buf_.append(chunk, static_cast<std::size_t>(r));
        }
    }

    std::vector<double> RoundTrips(int box, const std::string& text, int n) {
        const std::string packet = Mail(box, text);
        std::vector<double> us;
        for (int i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            pty_.Write(packet);
            Packet();
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
        return us;
    }

    // Mails a second the host's handler takes: n mails in one stream, then
    // the request for the count, timed until the count has come back.
    double Rate(int n) {
        std::string burst;
        for (int i = 0; i < n; ++i) burst += Mail(3, "m" + std::to_string(i % 1000));
        const auto t0 = Clock::now();
        pty_.Write(burst);
        pty_.Write(Mail(4, "count"));
        const std::string reply = Packet();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        const std::string count = reply.size() > 5 ? std::string(reply.c_str() + 4) : "";
        if (count != std::to_string(n)) {
            std::fprintf(stderr, "far end: the host counted %s of %d mails\n", count.c_str(), n);
            std::exit(1);
        }
        return n / s;
    }

private:
    PtyPair& pty_;
    std::string buf_;
};

void Report(const char* name, std::vector<double> us) {
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
    std::printf("  %-34s p50 %7.1f us  p99 %7.1f us\n", name, at(0.50), at(0.99));
}

void RunFarEnd(PtyPair& pty, int n) {
    FarEnd far(pty);
    far.Packet();                 // the tone of ConnectNXT
    far.RoundTrips(0, "?", 200);  // warm-up
    Report("keep-alive echo (answered inside)", far.RoundTrips(0, "?", n));
    Report("text echo through NewMail handler", far.RoundTrips(1, "e", n));
    far.Rate(1000);
    std::printf("  %-34s %9.0f mails/s\n", "mails through NewMail handler", far.Rate(n * 5));
    std::fflush(stdout);
}

struct Sink : vostrel::EventSink {
    vostrel::Vostrel* nxt = nullptr;
    long count = 0;
    void NewMail(vostrel::Integer& box) override {
        if (box == 1) {
            nxt->SendText(2, nxt->ReadText(1).c_str());
        } else if (box == 3) {
            nxt->ReadText(3);
            ++count;
        } else if (box == 4) {
            nxt->ReadText(4);
            nxt->SendText(5, std::to_string(count));
            count = 0;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    const bool farEndOnly = argc > 1 && std::string(argv[1]) == "far-end";
    const int nArg = farEndOnly ? 2 : 1;
    const int n = argc > nArg ? std::atoi(argv[nArg]) : 5000;
    PtyPair pty;
    if (!pty.Ok()) {
        std::fprintf(stderr, "no pseudo-terminal: %s\n", pty.Failure().c_str());
        return 1;
    }
    if (farEndOnly) {
        std::printf("device: %s\n", pty.SlavePath().c_str());
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);  // the host has connected
        RunFarEnd(pty, n);
        return 0;
    }

    vostrel::platform::DefaultLoop loop;
    vostrel::platform::PortMap ports;
    ports.Map(0, pty.SlavePath());
    auto nxt = vostrel::platform::MakeControl(loop, nullptr, ports);
    Sink sink;
    sink.nxt = nxt.get();
    nxt->SetEventSink(&sink);
    if (nxt->ConnectNXT(0, 9600) != 0) {
        std::fprintf(stderr, "connect failed\n");
        return 1;
    }
    std::printf("C++ host, default loop (%d round trips):\n", n);
    std::thread far([&] {
        RunFarEnd(pty, n);
        loop.stop();
    });
    loop.run();
    far.join();
    nxt->DisconnectNXT();
    return 0;
}
