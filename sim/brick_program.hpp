// The user program a simulated brick runs, chosen by options: it sends
// keep-alive queries and counts the answers, echoes texts, reports the
// tones it heard and sends messages on a schedule. Pure: it reads the
// engine's inboxes and is given the time; it returns telegrams to send.
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/brick_engine.hpp"

namespace vostrel::sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using std::chrono::milliseconds;

/// A message the program sends again and again.
struct ScheduledMessage {
    int inbox = 0;
    std::string payload;      // without the closing NUL (NumberPayload for a number)
    milliseconds every{1000}; // period, and the delay before the first one
    int count = 0;            // how many; 0: as long as the program runs
};

struct ProgramOptions {
    /// Keep-alive queries: period (0: none), the inbox they go to, the text.
    milliseconds pingEvery{0};
    int pingInbox = 0;
    std::string pingText = "?";
    /// Inboxes whose texts are echoed as "got <text>".
    std::set<int> echoInboxes;
    /// Where echoes go: -1 the inbox the text came in.
    int replyInbox = -1;
    /// Inbox to report each tone heard to ("tone 1000 Hz 500 ms"); -1: none.
    int toneReportInbox = -1;
    std::vector<ScheduledMessage> schedule;
};

/// One telegram the program wants sent, and why.
struct ProgramSend {
    enum class Why { Ping, Echo, ToneReport, Scheduled };
    Why why;
    int inbox;
    std::string payload;
    std::string telegram;  // MESSAGEWRITE, no reply wanted
};

/// The text an echo or a report shows for a message: the text up to its
/// NUL when every byte is printable; a 4-byte message with other bytes is
/// shown as the number it holds; anything else as hex.
std::string Readable(std::string_view message);

class BrickProgram {
public:
    BrickProgram(ProgramOptions options, BrickEngine& engine);

    /// Starts the program's clock: the first query and scheduled messages
    /// fall due one period after `now`.
    void Start(TimePoint now);
    /// Runs what is due at `now`: takes the messages waiting in the inboxes
    /// it reads (the ping inbox and the echo inboxes), sends what falls due.
    /// `quiet`: the program holds its queries and schedule (the brick is
    /// silent); their due times move on so nothing bunches up afterwards.
    std::vector<ProgramSend> Run(TimePoint now, bool quiet = false);
    /// The program heard a tone: a report when asked for.
    std::vector<ProgramSend> OnTone(const Tone& tone);
    /// When Run next has something to do on its own (TimePoint::max(): never).
    TimePoint NextDue() const;

    int PingsSent() const { return pingsSent_; }
    /// Answers equal to the query with every "?" turned into "!".
    int PingAnswers() const { return pingAnswers_; }
    /// Other texts that came into the ping inbox.
    int WrongAnswers() const { return wrongAnswers_; }

private:
    ProgramSend Make(ProgramSend::Why why, int inbox, std::string payload) const;

    ProgramOptions options_;
    BrickEngine& engine_;
    std::string expectedAnswer_;
    TimePoint nextPing_ = TimePoint::max();
    struct Slot {
        TimePoint next;
        int left;  // < 0: no limit
    };
    std::vector<Slot> slots_;
    int pingsSent_ = 0;
    int pingAnswers_ = 0;
    int wrongAnswers_ = 0;
};

}  // namespace vostrel::sim
