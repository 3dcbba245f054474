// The bridge's topics and what it accepts on them. Everything here works on
// outside data (names from the command line, topics and payloads from the
// broker): it is bounded and escaped, never interpreted beyond what the
// table in docs/bridge.md says.
//
//   PREFIX/bridge/state                  online / offline (the last will)
//   PREFIX/BRICK/state                   online / no answer / offline
//   PREFIX/BRICK/state/reason            why it is offline ("" otherwise)
//   PREFIX/BRICK/mailbox/N               a mail from the brick (N 0 to 9)
//   PREFIX/BRICK/mailbox/N/set           a text to send to mailbox N
//   PREFIX/BRICK/mailbox/N/value/set     a number to send to mailbox N
//   PREFIX/BRICK/error                   a refused send, as JSON
//   PREFIX/BRICK/dropped                 how many mails the queue dropped
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "vostrel/types.hpp"

namespace vostrel::tool::bridge {

inline constexpr std::size_t kMaxName = 64;       // bytes of a prefix level or brick name
inline constexpr std::size_t kMaxEchoed = 256;    // bytes of a refused payload echoed back
inline constexpr std::size_t kMaxTextBytes = 58;  // what a mailbox takes
inline constexpr std::string_view kBridgeLevel = "bridge";

/// Whether `name` may be a brick's name or the prefix: 1 to kMaxName bytes
/// of letters, digits and - _ . : (for the prefix also /, not at either
/// end and not doubled), and not "bridge" for a brick.
bool ValidBrickName(std::string_view name);
bool ValidPrefix(std::string_view prefix);
/// A brick's name made from a port argument: the device's last path part
/// ("/dev/rfcomm1" -> "rfcomm1") or the text itself ("NXT"), with every
/// byte not allowed replaced by _ and cut to kMaxName.
std::string NameFromPort(std::string_view port);

class Topics {
public:
    explicit Topics(std::string prefix) : prefix_(std::move(prefix)) {}
    const std::string& Prefix() const { return prefix_; }

    std::string BridgeState() const { return prefix_ + "/bridge/state"; }
    std::string State(std::string_view brick) const;
    std::string StateReason(std::string_view brick) const;
    std::string Mail(std::string_view brick, int mailbox) const;
    std::string Error(std::string_view brick) const;
    std::string Dropped(std::string_view brick) const;
    /// The two subscriptions that carry sends to every brick.
    std::string TextSubscription() const { return prefix_ + "/+/mailbox/+/set"; }
    std::string ValueSubscription() const { return prefix_ + "/+/mailbox/+/value/set"; }

    struct Command {
        enum class Kind { Text, Value } kind = Kind::Text;
        std::string brick;
        int mailbox = -1;         // 0 to 9; -1 when the topic's mailbox is not one
        std::string mailboxText;  // the topic's mailbox level as sent (bounded)
    };
    /// The send a topic asks for, or nullopt for a topic that is not one of
    /// the command topics (under another prefix, or another shape).
    std::optional<Command> ParseCommand(std::string_view topic) const;

private:
    std::string prefix_;
};

/// A number payload: optional spaces, an optional -, decimal digits,
/// optional spaces or a line break; from -2147483647 to 2147483647.
/// nullopt for anything else.
std::optional<Long> ParseNumber(std::string_view payload);

/// Why a text payload cannot go to a mailbox ("" when it can): over 58
/// bytes, or a NUL byte inside (the brick would end the text there).
std::string TextRefusal(std::string_view payload);

/// The error topic's payload:
/// {"topic":T,"reason":R,"payload":P,"bytes":N}, every string escaped for
/// JSON byte by byte (a byte outside printable ASCII as \u00XX), the payload
/// cut to kMaxEchoed bytes (N says how many it had).
std::string ErrorPayload(std::string_view topic, std::string_view reason, std::string_view payload);

/// Outside text for a log line: printable ASCII kept, anything else as
/// \xNN, cut to `max` bytes with "..." after.
std::string Printable(std::string_view text, std::size_t max = 80);

}  // namespace vostrel::tool::bridge
