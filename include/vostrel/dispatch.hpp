// The control's late-bound face: members reached by dispatch id
// (Vostrel::Invoke), events delivered by dispatch id to a DispatchSink, and
// name lookup from published names to dispatch ids. Script bridges, test
// harnesses and a component build of the control bind through this.
//
// Error rules: a late-bound call that cannot be made throws vostrel::Error
// and changes nothing (no member runs, no argument is written):
//   438  no member with that dispatch id and kind,
//   450  wrong number of arguments,
//     5  PropertyPut combined with another kind,
//    13  an argument that cannot be converted to its parameter's type, or a
//        by-reference argument that does not have exactly that type,
//     6  a by-value number outside its parameter's range.
// Once the member runs, it behaves exactly as its direct C++ call: same
// result, status text, write-backs and errors.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "vostrel/type_library.hpp"
#include "vostrel/variant.hpp"
#include "vostrel/vostrel.hpp"

namespace vostrel {

namespace err {
inline constexpr int kMemberNotFound = 438;      // object doesn't support this property or method
inline constexpr int kWrongArgumentCount = 450;  // wrong number of arguments
}  // namespace err

/// Dispatch id of a member of _Vostrel ("SendText", "connection", ...),
/// compared without regard to case as Automation does; nullopt if unknown.
std::optional<DispId> MemberId(std::string_view name);
/// Dispatch id of an event of __Vostrel ("NoPing", "NewMail"), ignoring case.
std::optional<DispId> EventId(std::string_view name);
/// Dispatch id of parameter `name` of member or event `member`: its position
/// from 0, ignoring case ("mailbox" of SendText is 0, "Mail" is 1). For a
/// property the parameter is its put's value. nullopt if unknown.
std::optional<DispId> ParameterId(DispId member, std::string_view name);

/// As IDispatch::GetIDsOfNames: names[0] is a member of _Vostrel, the rest
/// its parameters. Returns one id per name, dispid::kUnknown for each name
/// that is not known. Throws nothing.
std::vector<DispId> IdsOfNames(std::span<const std::string_view> names);

/// Receives the control's events by dispatch id, synchronously on the
/// host's thread: NoPing (1) with no arguments, NewMail (2) with one
/// by-reference Integer, the mailbox number 0 to 9. Writing to NewMail's
/// argument has no effect on the control. A throw leaves the event as a
/// throw from the direct EventSink would (the control passes it to
/// HostSite::UnhandledError).
class DispatchSink {
public:
    virtual ~DispatchSink() = default;
    virtual void Invoke(DispId event, std::span<Argument> args) = 0;
};

/// Forwards the control's events to a DispatchSink:
///     DispatchEvents events(mySink);
///     control.SetEventSink(&events);
class DispatchEvents : public EventSink {
public:
    /// `sink` is not owned and must outlive this adapter.
    explicit DispatchEvents(DispatchSink& sink) : sink_(sink) {}
    void NoPing() override;
    void NewMail(Integer& MailBox) override;

private:
    DispatchSink& sink_;
};

}  // namespace vostrel
