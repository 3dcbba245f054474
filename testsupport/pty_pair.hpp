// A pseudo-terminal pair for tests: the slave's path stands in for a serial
// device, and the test plays the far end (the brick) on the master side.
#pragma once

#include <chrono>
#include <string>

namespace vostrel::testing {

class PtyPair {
public:
    /// Opens a pair. `raw`: make the line raw first, so bytes written before
    /// a port opens it are not echoed or translated; false leaves the
    /// system's cooked defaults (echo, CR/LF translation, signals) in place.
    /// Check Ok(): some systems have no pseudo-terminals to give.
    explicit PtyPair(bool raw = true);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master_ >= 0; }
    /// Why the pair could not be opened.
    const std::string& Failure() const { return failure_; }
    /// The device path a serial port opens.
    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_; }

    /// Writes all of `bytes` on the far end (throws std::runtime_error on failure).
    void Write(const std::string& bytes);
    /// Reads from the far end until `n` bytes have come or `timeout` passed;
    /// returns what came.
    std::string Read(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Whatever the far end can read at once, without waiting.
    std::string ReadAvailable();
    /// Closes the far end: the slave side sees a hang-up.
    void HangUp();

private:
    int master_ = -1;
    int slave_ = -1;  // held so the line keeps its settings between opens
    std::string slavePath_;
    std::string failure_;
};

}  // namespace vostrel::testing
