// The `vostrel` command: argument parsing and dispatch to the commands.
// Exit status: 0 done, 1 the control reported a failure or the output could not
// be written, 2 bad usage.

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <iostream>

#include "sim/wire.hpp"
#include "tool/commands.hpp"
#include "tool/fd_output.hpp"
#include "tool/std_streams.hpp"
#include "tool/stdin_command.hpp"

using namespace vostrel;
using std::chrono::milliseconds;

namespace {

constexpr int kUsage = 2;

// The longest time any option takes: one day, so no time arithmetic can
// overflow.
constexpr long kMaxMs = 24L * 60 * 60 * 1000;

// A whole decimal number from `lo` to `hi`; `what` names the range in the
// refusal ("mailbox must be from 0 to 9").
CLI::Validator WholeNumber(long long lo, long long hi, const std::string& what,
                           const std::string& unit = "") {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            long long v = 0;
            const char* end = text.data() + text.size();
            const auto [at, ec] = std::from_chars(text.data(), end, v);
            if (ec == std::errc() && at == end && v >= lo && v <= hi) return {};
            return what + " must be a whole number from " + std::to_string(lo) + " to " +
                   std::to_string(hi) + unit + " (got " + text + ")";
        },
        "", "");
}

CLI::Validator Milliseconds(long lo) {
    return WholeNumber(lo, kMaxMs, "the time", " ms (one day)");
}

// "BOX:TEXT" for --send-text / --send-number.
std::pair<int, std::string> BoxAndRest(const std::string& spec, const char* what) {
    const auto colon = spec.find(':');
    if (colon == std::string::npos || colon == 0)
        throw CLI::ValidationError(what, "expected BOX:" + std::string(what));
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
    cmd->add_option("-p,--port", link.port,
                    "Port number (N -> /dev/rfcommN), device path, or a brick's Bluetooth "
                    "address or name (Linux)")
        ->required();
    cmd->add_option("-b,--baud", link.baud,
                    "Line speed in bits/s (the control takes at most 32767)")
        ->check(CLI::Range(1, 32767))
        ->default_val(9600);
}

}  // namespace

int main(int argc, char** argv) {
    tool::PrepareStandardStreams();

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
    auto* simCmd = app.add_subcommand(
        "sim", "Run a simulated brick until interrupted; prints the device path");
    auto* deviceOpt = simCmd->add_option("--device", b.device,
                                         "Serve this device instead of a new pseudo-terminal");
    auto* bluetoothOpt =
        simCmd
            ->add_flag("--bluetooth", simOpts.bluetooth,
                       "Serve RFCOMM channel 1 of this computer's Bluetooth adapters, one host at "
                       "a time, instead of a pseudo-terminal")
            ->excludes(deviceOpt);
    simCmd
        ->add_flag("--any-host", simOpts.anyHost,
                   "With --bluetooth: also take hosts that have not paired (the NXT does not)")
        ->needs(bluetoothOpt);
    simCmd
        ->add_option("--ping-every", pingMs,
                     "Keep-alive query period in ms (0: none; at most 86400000)")
        ->capture_default_str()
        ->check(Milliseconds(0));
    simCmd->add_option("--ping-box", b.program.pingInbox, "Mailbox of the keep-alive queries")
        ->capture_default_str()
        ->check(CLI::Range(0, 9));
    simCmd
        ->add_option("--ping-text", b.program.pingText,
                     "Text of a keep-alive query (begins with ?, at most 58 bytes)")
        ->capture_default_str();
    simCmd
        ->add_option("--echo-box", echo,
                     "Inbox whose texts are answered \"got <text>\" (repeatable; -1: none)")
        ->capture_default_str();
    simCmd
        ->add_option("--reply-box", b.program.replyInbox,
                     "Mailbox the answers go to (-1: the same one)")
        ->capture_default_str()
        ->check(CLI::Range(-1, 9));
    simCmd
        ->add_option("--report-tones", b.program.toneReportInbox,
                     "Report each tone heard to this mailbox (-1: no)")
        ->capture_default_str()
        ->check(CLI::Range(-1, 9));
    simCmd->add_option("--send-text", sendTexts, "Send BOX:TEXT on a schedule (repeatable)");
    simCmd->add_option("--send-number", sendNumbers, "Send BOX:NUMBER on a schedule (repeatable)");
    simCmd
        ->add_option("--send-every", sendEvery,
                     "Period of scheduled messages in ms (1 to 86400000)")
        ->capture_default_str()
        ->check(Milliseconds(1));
    simCmd
        ->add_option("--send-count", sendCount, "How many of each scheduled message (0: no limit)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    simCmd
        ->add_option("--silent-after", silentAfter,
                     "Go silent this many ms after the start (at most 86400000)")
        ->check(Milliseconds(0));
    simCmd
        ->add_option("--silent-for", silentFor,
                     "Stay silent this many ms (0: never silent; at most 86400000)")
        ->check(Milliseconds(0));
    simCmd
        ->add_option("--split", b.programDelivery.pieces,
                     "Write each program message in this many pieces")
        ->check(CLI::Range(1, 64));
    simCmd->add_option("--split-gap", splitGap, "Gap between the pieces in ms (at most 86400000)")
        ->capture_default_str()
        ->check(Milliseconds(0));
    simCmd->add_flag("--join", b.joinProgramPairs, "Write program messages two to a write");
    simCmd->add_flag("--no-program", noProgram,
                     "No program runs: messages are refused (status EC)");
    simCmd->add_flag("-q,--quiet", simOpts.quiet, "Print only the device path");

    tool::SendOptions sendOpts;
    Long number = 0;
    auto* sendCmd = app.add_subcommand(
        "send", "Connect, send one text or number, disconnect; prints the status");
    sendCmd->footer(
        "Exit status 1 when the packet did not leave: a line that does not take it within 5 s,\n"
        "or Ctrl-C while waiting for it (on Linux that ends the wait at once). The port is\n"
        "closed and the line's settings put back either way.");
    AddLinkOptions(sendCmd, sendOpts.link);
    sendCmd->add_option("-m,--mailbox", sendOpts.mailbox, "Mailbox 0 to 9")
        ->required()
        ->check(WholeNumber(0, tool::kMaxMailbox, "the mailbox"));
    auto* textOpt = sendCmd->add_option("-t,--text", "Text to send (at most 58 bytes)")
                        ->check(CLI::Validator(
                            [](std::string& text) -> std::string {
                                if (text.size() <= tool::kMaxTextBytes) return {};
                                return "the text must be at most " +
                                       std::to_string(tool::kMaxTextBytes) + " bytes (it has " +
                                       std::to_string(text.size()) + ")";
                            },
                            "", ""));
    auto* numberOpt = sendCmd->add_option("-n,--number", number, "Number to send, 0 to 2147483647")
                          ->check(WholeNumber(0, 2147483647, "the number"));
    textOpt->excludes(numberOpt);
    numberOpt->excludes(textOpt);

    tool::ListenOptions listenOpts;
    auto* listenCmd =
        app.add_subcommand("listen",
                           "Stay connected: print mail and NoPing, take commands on stdin "
                           "(text M TEXT, value M N, read M, disconnect, connect, quit)");
    listenCmd->footer(
        "Mailboxes M are 0 to 9, numbers N 0 to 2147483647, a TEXT at most 58 bytes; a line out of "
        "range,\n"
        "or longer than 65536 bytes, is refused with an error event and the session goes on.\n"
        "Every mail is taken with ReadText as it arrives (that is the mail event), so a later\n"
        "`read M` gives \"\" for it: the control empties a mailbox when it is read.");
    AddLinkOptions(listenCmd, listenOpts.link);
    listenCmd->add_flag("--json", listenOpts.json, "One JSON object a line");
    listenCmd->add_flag("--no-ping", listenOpts.noPing,
                        "Set PingNXT False: silence raises no NoPing");
    listenCmd
        ->add_option("--watchdog-ms", listenOpts.watchdogMs,
                     "Testing: the watchdog interval in ms instead of the control's 10000")
        ->check(CLI::Range(1, 86400000));

    app.add_subcommand("ports",
                       "List the serial devices present, and the Bluetooth devices BlueZ knows");

    tool::BridgeOptions bridgeOpts;
    auto* bridgeCmd = app.add_subcommand(
        "bridge", "Put bricks' mailboxes on an MQTT broker until interrupted (Linux)");
    bridgeCmd->footer(
        "One brick per -p; its name in the topics is NAME, or else the device's last path part\n"
        "or the brick's Bluetooth name. Topics: PREFIX/BRICK/mailbox/N (mail),\n"
        "PREFIX/BRICK/mailbox/N/set (a text to send), PREFIX/BRICK/mailbox/N/value/set (a\n"
        "number), PREFIX/BRICK/state, PREFIX/BRICK/error, PREFIX/bridge/state. The password\n"
        "comes from --password-file or VOSTREL_MQTT_PASSWORD, never from the command line.\n"
        "Logs on standard error; SIGINT, SIGTERM or SIGHUP end it with exit status 0.");
    bridgeCmd
        ->add_option("-p,--port", bridgeOpts.ports,
                     "[NAME=]PORT: a port number, device path, or a brick's Bluetooth address or "
                     "name (repeatable)")
        ->required();
    bridgeCmd->add_option("-b,--baud", bridgeOpts.baud, "Line speed in bits/s")
        ->check(CLI::Range(1, 32767))
        ->capture_default_str();
    bridgeCmd
        ->add_option("--broker", bridgeOpts.broker, "mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
        ->capture_default_str();
    bridgeCmd->add_option("--prefix", bridgeOpts.prefix, "The first level of every topic")
        ->capture_default_str();
    bridgeCmd->add_option("--username", bridgeOpts.username, "The broker's user name");
    bridgeCmd->add_option("--password-file", bridgeOpts.passwordFile,
                          "A file whose first line is the password");
    bridgeCmd->add_option("--cafile", bridgeOpts.cafile,
                          "CA certificates for mqtts:// (default: the system's)");
    bridgeCmd->add_flag("--reconnect", bridgeOpts.reconnect,
                        "Try a brick again, after 1 s doubling to 30 s, when it cannot be "
                        "reached or its line hangs up");
    bridgeCmd
        ->add_option("--queue", bridgeOpts.queue,
                     "Mails held while the broker is away; beyond it the oldest are dropped")
        ->check(CLI::Range(1, 1000000))
        ->capture_default_str();
    bridgeCmd
        ->add_option("--watchdog-ms", bridgeOpts.watchdogMs,
                     "Testing: the watchdog interval in ms instead of the control's 10000")
        ->check(CLI::Range(1, 86400000));

    try {
        app.parse(argc, argv);
        if (sendCmd->parsed() && !*textOpt && !*numberOpt)
            throw CLI::RequiredError("-t,--text or -n,--number");
        if (simCmd->parsed()) {
            const std::string& ping = b.program.pingText;
            if (ping.empty() || ping[0] != '?' || ping.size() > sim::kMaxText)
                throw CLI::ValidationError(
                    "--ping-text",
                    "must begin with ? and be at most " + std::to_string(sim::kMaxText) + " bytes");
            b.program.pingEvery = milliseconds(pingMs);
            b.program.echoInboxes.clear();
            for (int e : echo) {
                if (e < -1 || e > 9)
                    throw CLI::ValidationError("--echo-box", "must be -1 or 0 to 9");
                if (e >= 0) b.program.echoInboxes.insert(e);
            }
            for (const auto& s : sendTexts) {
                auto [box, text] = BoxAndRest(s, "TEXT");
                if (text.size() > sim::kMaxText)
                    throw CLI::ValidationError("--send-text", "text over 58 bytes");
                b.program.schedule.push_back({box, text, milliseconds(sendEvery), sendCount});
            }
            for (const auto& s : sendNumbers) {
                auto [box, text] = BoxAndRest(s, "NUMBER");
                long long v = 0;
                try {
                    std::size_t used = 0;
                    v = std::stoll(text, &used);
                    if (used != text.size() || v < INT32_MIN || v > INT32_MAX)
                        throw std::invalid_argument("n");
                } catch (const std::exception&) {
                    throw CLI::ValidationError("--send-number", "not a 32-bit number: " + text);
                }
                b.program.schedule.push_back({box, sim::NumberPayload(static_cast<std::int32_t>(v)),
                                              milliseconds(sendEvery), sendCount});
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

    // The short commands write through this buffer, which keeps the reason
    // of a failed write; listen and sim write standard output themselves.
    tool::FdStreamBuf stdoutBuffer(1);  // standard output
    std::ostream out(&stdoutBuffer);
    int status = 1;
    try {
        if (app.got_subcommand("demo")) {
            status = tool::RunDemo(out);
        } else if (simCmd->parsed()) {
            status = tool::RunSim(simOpts);
        } else if (sendCmd->parsed()) {
            if (*textOpt) {
                sendOpts.text = textOpt->as<std::string>();
            } else {
                sendOpts.number = number;
            }
            status = tool::RunSend(sendOpts, out);
        } else if (listenCmd->parsed()) {
            status = tool::RunListen(listenOpts);
        } else if (bridgeCmd->parsed()) {
            status = tool::RunBridge(bridgeOpts);
        } else {
            status = tool::RunPorts(out);
        }
    } catch (const tool::OutputFailed&) {
        status = 1;  // said below
    } catch (const std::invalid_argument& e) {
        std::cerr << "vostrel: " << e.what() << '\n';
        status = kUsage;
    } catch (const std::exception& e) {
        std::cerr << "vostrel: " << e.what() << '\n';
        status = 1;
    }
    out.flush();
    if (!stdoutBuffer.Failure().empty()) {
        std::cerr << "vostrel: cannot write standard output: " << stdoutBuffer.Failure() << '\n';
        return status == 0 ? 1 : status;
    }
    return status;
}
