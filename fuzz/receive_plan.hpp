// Turns a fuzzer's input into the reads a serial port delivers: either the
// input itself as one raw stream cut at pseudo-random points, or a small
// language of well-formed packets, garbage, oversized headers, cuts and
// injected failures, so the fuzzer reaches deep states quickly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/input_reader.hpp"

namespace vostrel::fuzz {

/// A run of bytes the plan put into the stream on purpose.
struct Segment {
    enum Kind {
        Packet,    // a packet with a header a brick sends (3 to 64 telegram bytes)
        Oversize,  // one header no brick sends, alone
        Garbage,   // raw bytes, or a packet whose header no brick sends
    } kind;
    std::size_t begin;  // offset in the whole stream
    std::size_t end;
};

struct PlannedRead {
    std::string bytes;
    int handlerFailures = 0;        // NewMail handler calls to fail, armed before this read
    int outputFailures = 0;         // port writes to fail, armed before this read
    bool silenceBefore = false;     // a watchdog interval passes before this read
    std::vector<Segment> segments;  // in stream order, within this read's bytes
};

inline std::string Framed(const std::string& telegram) {
    std::string p{static_cast<char>(telegram.size() & 0xFF),
                  static_cast<char>(telegram.size() >> 8)};
    return p + telegram;
}

inline std::string MessageWrite(char type, std::uint8_t inbox, const std::string& text) {
    std::string t{type, '\x09', static_cast<char>(inbox), static_cast<char>(text.size() + 1)};
    t += text;
    t.push_back('\0');
    return Framed(t);
}

inline bool BrickLength(std::size_t telegram) { return telegram >= 3 && telegram <= 64; }

/// Input byte 0 odd: raw mode. Byte 1 sets the longest cut (1 to 2041
/// bytes), bytes 2-3 seed the cuts, the rest is the stream.
/// Byte 0 even: packet mode, a sequence of operations (the switch below),
/// with the reads noting which of their bytes are packets a brick sends.
inline std::vector<PlannedRead> PlanReads(const std::uint8_t* data, std::size_t size) {
    InputReader in(data, size);
    std::vector<PlannedRead> reads;
    const std::uint8_t mode = in.Byte();
    if (mode & 1) {
        const std::size_t longest = 1 + static_cast<std::size_t>(in.Byte()) * 8;
        std::uint32_t state = 0x9E3779B9u ^ in.Word();
        const std::string stream = in.Rest();
        for (std::size_t at = 0; at < stream.size();) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            const std::size_t n = 1 + state % longest;
            PlannedRead read;
            read.bytes = stream.substr(at, n);
            reads.push_back(std::move(read));
            at += n;
        }
        return reads;
    }
    PlannedRead current;
    std::size_t streamAt = 0;  // bytes of the reads already planned
    // Appends bytes made by one operation, noting what they are.
    const auto add = [&](Segment::Kind kind, const std::string& bytes) {
        const std::size_t begin = streamAt + current.bytes.size();
        current.bytes += bytes;
        current.segments.push_back({kind, begin, begin + bytes.size()});
    };
    const auto packet = [&](const std::string& framed) {
        add(BrickLength(framed.size() - 2) ? Segment::Packet : Segment::Garbage, framed);
    };
    const auto endRead = [&] {
        streamAt += current.bytes.size();
        reads.push_back(std::move(current));
        current = {};
    };
    while (!in.Empty()) {
        switch (in.Byte() % 11) {
            case 0:  // raw bytes, garbage or anything
                add(Segment::Garbage, in.Bytes(in.Byte()));
                break;
            case 1: {  // a text, inbox 0 to 11 (10 and 11 are dropped)
                const char type = (in.Byte() & 1) ? '\x80' : '\x00';
                const std::uint8_t inbox = in.Byte() % 12;
                packet(MessageWrite(type, inbox, in.Bytes(in.Byte())));
                break;
            }
            case 2: {  // a keep-alive query, sometimes too long to echo
                const std::uint8_t inbox = in.Byte();
                const std::size_t n = in.Word() % 300;
                std::string text = "?" + in.Bytes(n);
                text.resize(n + 1, '?');
                packet(MessageWrite('\x80', inbox, text));
                break;
            }
            case 3:  // the port delivers what has come so far
                endRead();
                break;
            case 4: {  // a header no brick sends: high byte 4 or more
                const std::uint16_t w = in.Word() | 0x0400;
                add(Segment::Oversize,
                    std::string{static_cast<char>(w & 0xFF), static_cast<char>(w >> 8)});
                break;
            }
            case 5:
                ++current.handlerFailures;
                break;
            case 6:
                ++current.outputFailures;
                break;
            case 7: {  // a long text, up to past the receive buffer
                const std::size_t n = in.Word() % 1100;
                const char fill = static_cast<char>(in.Byte());
                std::string text(n, fill);
                for (std::size_t i = 0; i < n; i += 7) text[i] = static_cast<char>(i);
                if (!text.empty() && text[0] == '?') text[0] = '-';
                packet(MessageWrite('\x80', in.Byte() % 10, text));
                break;
            }
            case 8: {  // another command, of any length below 256
                std::string t{'\x80', static_cast<char>(in.Byte())};
                t += in.Bytes(in.Byte());
                packet(Framed(t));
                break;
            }
            case 9:  // a packet too short to use
                packet(Framed(in.Bytes(in.Byte() % 6)));
                break;
            case 10:  // the port delivers what has come, then the line is silent
                endRead();
                current.silenceBefore = true;
                break;
        }
    }
    reads.push_back(std::move(current));
    return reads;
}

}  // namespace vostrel::fuzz
