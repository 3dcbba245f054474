// Helpers of the platform tests: a pty or a skip, running a loop until
// something has happened, byte strings.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "testsupport/pty_pair.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::testing {

// Skips the test (not fails) where no pseudo-terminal can be opened.
#define VOSTREL_NEED_PTY(pty) \
    if (!(pty).Ok()) GTEST_SKIP() << "no pseudo-terminal: " << (pty).Failure()

inline std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

/// Framed MESSAGEWRITE as the brick sends it: 80 09 inbox size text 00.
inline std::string BrickText(int inbox, const std::string& text) {
    std::string t = Bytes({0x80, 0x09, inbox, static_cast<int>(text.size() + 1)}) + text + '\0';
    return Bytes({static_cast<int>(t.size()), 0}) + t;
}

inline const std::string kTone = Bytes({0x06, 0x00, 0x00, 0x03, 0xE8, 0x03, 0xF4, 0x01});
inline const std::string kQuery = Bytes({0x06, 0x00, 0x80, 0x09, 0x00, 0x02, '?', 0x00});
inline const std::string kEcho = Bytes({0x06, 0x00, 0x80, 0x09, 0x00, 0x02, '!', 0x00});

/// A loop that refuses every watch, as a host's loop that was already
/// closed does (Python's asyncio: "Event loop is closed").
class RefusingLoop : public platform::DefaultLoop {
public:
    Id Watch(int, Callback) override { throw std::runtime_error("Event loop is closed"); }
    Id WatchWritable(int, Callback) override { throw std::runtime_error("Event loop is closed"); }
};

/// Runs the loop in short slices until `done` holds or `limit` has passed
/// (a guard against a hang, not a speed target). Returns whether it held.
inline bool RunUntil(platform::DefaultLoop& loop, const std::function<bool()>& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        loop.run_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace vostrel::testing
