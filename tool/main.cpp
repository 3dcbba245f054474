// The `vostrel` command: argument parsing and dispatch to the commands.
// Exit status: 0 done, 1 the control reported a failure, 2 bad usage.
#include <CLI/CLI.hpp>
#include <iostream>

#include "sim/wire.hpp"
#include "tool/commands.hpp"

using namespace vostrel;
using std::chrono::milliseconds;

namespace {

constexpr int kUsage = 2;

// "BOX:TEXT" for --send-text / --send-number.
std::pair<int, std::string> BoxAndRest(const std::string& spec, const char* what) {
    const auto colon = spec.find(':');
    if (colon == std::string::npos || colon == 0) throw CLI::ValidationError(what, "expected BOX:" + std::string(what));
    int box = 0;
    try {
        std::size_t used = 0;
        box = std::stoi(spec.substr(0, colon), &used);
        if (used != colon || box < 0 || box > 255) throw std::invalid_argument("box");
    } catch (const std::exception&) {
        throw CLI::ValidationError(what, "mailbox must be a number from 0 to 255");
    }
    return {box, spec.substr(colon + 1)};
}

void AddLinkOptions(CLI::App* cmd, tool::LinkOptions& link) {
    cmd->add_option("-p,--port", link.port, "Port number (N -> /dev/rfcommN) or device path")->required();
    cmd->add_option("-b,--baud", link.baud, "Line speed in bits/s (the control takes at most 32767)")
        ->check(CLI::Range(1, 32767))
        ->default_val(9600);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"vostrel: mailbox messages with a LEGO Mindstorms NXT brick over a serial link"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Help for every command");

    app.add_subcommand("demo", "Run a narrated session against a simulated brick (about 17 s)");

    tool::SimOptions simOpts;
    auto& b = simOpts.brick;
    b.program.pingEvery = milliseconds(3000);
    b.program.echoInboxes = {1};
    long pingMs = 3000, silentAfter = 0, silentFor = 0, sendEvery = 1000, splitGap = 20;
    int sendCount = 0;
    std::vector<int> echo{1};
    std::vector<std::string> sendTexts, sendNumbers;
    bool noProgram = false;
    auto* simCmd = app.add_subcommand("sim", "Run a simulated brick until interrupted; prints the device path");
    simCmd->add_option("--device", b.device, "Serve this device instead of a new pseudo-terminal");
    simCmd->add_option("--ping-every", pingMs, "Keep-alive query period in ms (0: none)")->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    simCmd->add_option("--ping-box", b.program.pingInbox, "Mailbox of the keep-alive queries")->capture_default_str()
        ->check(CLI::Range(0, 9));
    simCmd->add_option("--ping-text", b.program.pingText, "Text of a keep-alive query (begins with ?)")
        ->capture_default_str();
    simCmd->add_option("--echo-box", echo, "Inbox whose texts are answered \"got <text>\" (repeatable; -1: none)")
        ->capture_default_str();
    simCmd->add_option("--reply-box", b.program.replyInbox, "Mailbox the answers go to (-1: the same one)")
        ->capture_default_str()->check(CLI::Range(-1, 9));
    simCmd->add_option("--report-tones", b.program.toneReportInbox, "Report each tone heard to this mailbox (-1: no)")
        ->capture_default_str()->check(CLI::Range(-1, 9));
    simCmd->add_option("--send-text", sendTexts, "Send BOX:TEXT on a schedule (repeatable)");
    simCmd->add_option("--send-number", sendNumbers, "Send BOX:NUMBER on a schedule (repeatable)");
    simCmd->add_option("--send-every", sendEvery, "Period of scheduled messages in ms")->capture_default_str()
        ->check(CLI::PositiveNumber);
    simCmd->add_option("--send-count", sendCount, "How many of each scheduled message (0: no limit)")
        ->capture_default_str()->check(CLI::NonNegativeNumber);
    simCmd->add_option("--silent-after", silentAfter, "Go silent this many ms after the start")
        ->check(CLI::NonNegativeNumber);
    simCmd->add_option("--silent-for", silentFor, "Stay silent this many ms (0: never silent)")
        ->check(CLI::NonNegativeNumber);
    simCmd->add_option("--split", b.programDelivery.pieces, "Write each program message in this many pieces")
        ->check(CLI::Range(1, 64));
    simCmd->add_option("--split-gap", splitGap, "Gap between the pieces in ms")->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    simCmd->add_flag("--join", b.joinProgramPairs, "Write program messages two to a write");
    simCmd->add_flag("--no-program", noProgram, "No program runs: messages are refused (status EC)");
    simCmd->add_flag("-q,--quiet", simOpts.quiet, "Print only the device path");

    tool::SendOptions sendOpts;
    Long number = 0;
    auto* sendCmd = app.add_subcommand("send", "Connect, send one text or number, disconnect; prints the status");
    AddLinkOptions(sendCmd, sendOpts.link);
    sendCmd->add_option("-m,--mailbox", sendOpts.mailbox, "Mailbox 0 to 9")->required();
    auto* textOpt = sendCmd->add_option("-t,--text", "Text to send (at most 58 bytes)");
    auto* numberOpt = sendCmd->add_option("-n,--number", number, "32-bit number to send");
    textOpt->excludes(numberOpt);
    numberOpt->excludes(textOpt);

    tool::ListenOptions listenOpts;
    auto* listenCmd = app.add_subcommand(
        "listen", "Stay connected: print mail and NoPing, take commands on stdin "
                  "(text M TEXT, value M N, read M, disconnect, connect, quit)");
    AddLinkOptions(listenCmd, listenOpts.link);
    listenCmd->add_flag("--json", listenOpts.json, "One JSON object a line");
    listenCmd->add_flag("--no-ping", listenOpts.noPing, "Set PingNXT False: silence raises no NoPing");
    listenCmd->add_option("--watchdog-ms", listenOpts.watchdogMs,
                          "Testing: the watchdog interval in ms instead of the control's 10000")
        ->check(CLI::Range(1, 86400000));

    app.add_subcommand("ports", "List the serial devices present (Bluetooth ones marked)");

    try {
        app.parse(argc, argv);
        if (sendCmd->parsed() && !*textOpt && !*numberOpt)
            throw CLI::RequiredError("-t,--text or -n,--number");
        if (simCmd->parsed()) {
            b.program.pingEvery = milliseconds(pingMs);
            b.program.echoInboxes.clear();
            for (int e : echo) {
                if (e < -1 || e > 9) throw CLI::ValidationError("--echo-box", "must be -1 or 0 to 9");
                if (e >= 0) b.program.echoInboxes.insert(e);
            }
            for (const auto& s : sendTexts) {
                auto [box, text] = BoxAndRest(s, "TEXT");
                if (text.size() > sim::kMaxText) throw CLI::ValidationError("--send-text", "text over 58 bytes");
                b.program.schedule.push_back({box, text, milliseconds(sendEvery), sendCount});
            }
            for (const auto& s : sendNumbers) {
                auto [box, text] = BoxAndRest(s, "NUMBER");
                long long v = 0;
                try {
                    std::size_t used = 0;
                    v = std::stoll(text, &used);
                    if (used != text.size() || v < INT32_MIN || v > INT32_MAX) throw std::invalid_argument("n");
                } catch (const std::exception&) {
                    throw CLI::ValidationError("--send-number", "not a 32-bit number: " + text);
                }
                b.program.schedule.push_back(
                    {box, sim::NumberPayload(static_cast<std::int32_t>(v)), milliseconds(sendEvery), sendCount});
            }
            b.silentAfter = milliseconds(silentAfter);
            b.silentFor = milliseconds(silentFor);
            b.programDelivery.gap = milliseconds(splitGap);
            b.programRunning = !noProgram;
        }
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kUsage;
    }

    try {
        if (app.got_subcommand("demo")) return tool::RunDemo(std::cout);
        if (simCmd->parsed()) return tool::RunSim(simOpts, std::cout);
        if (sendCmd->parsed()) {
            if (*textOpt) {
                sendOpts.text = textOpt->as<std::string>();
            } else {
                sendOpts.number = number;
            }
            return tool::RunSend(sendOpts, std::cout);
        }
        if (listenCmd->parsed()) return tool::RunListen(listenOpts, std::cout);
        return tool::RunPorts(std::cout);
    } catch (const std::invalid_argument& e) {
        std::cerr << "vostrel: " << e.what() << '\n';
        return kUsage;
    } catch (const std::exception& e) {
        std::cerr << "vostrel: " << e.what() << '\n';
        return 1;
    }
}
