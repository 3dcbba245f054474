// The identity of the control as hosts bind to it: the type library
// VostrelControl, its control class Vostrel, the default interface _Vostrel
// and the event interface __Vostrel, with every member's dispatch id and
// signature. This table is the one place these facts live; the late-bound
// face (vostrel/dispatch.hpp) and the generated IDL text are built from it.
//
// The GUIDs were generated once and never change: hosts and registered
// builds of the control bind to them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "vostrel/variant.hpp"

namespace vostrel {

/// A dispatch id (DISPID) of a member or event.
using DispId = std::int32_t;

/// How a member is invoked, as the flags of IDispatch::Invoke. A caller may
/// combine Method and PropertyGet (as script hosts do for `x = obj.Name`);
/// PropertyPut stands alone.
enum class InvokeKind : std::uint16_t {
    Method = 1,
    PropertyGet = 2,
    PropertyPut = 4,
};
constexpr InvokeKind operator|(InvokeKind a, InvokeKind b) {
    return static_cast<InvokeKind>(static_cast<std::uint16_t>(a) | static_cast<std::uint16_t>(b));
}
constexpr bool HasKind(InvokeKind flags, InvokeKind kind) {
    return (static_cast<std::uint16_t>(flags) & static_cast<std::uint16_t>(kind)) != 0;
}

/// Dispatch ids of the members of _Vostrel and the events of __Vostrel.
/// A property's get and put share its id.
namespace dispid {
inline constexpr DispId kPingNXT = 0x68030000;
inline constexpr DispId kErrorMessage = 0x68030001;
inline constexpr DispId kConnection = 0x68030002;
inline constexpr DispId kSendValue = 0x60030003;
inline constexpr DispId kSendText = 0x60030004;
inline constexpr DispId kConnectNXT = 0x60030009;
inline constexpr DispId kDisconnectNXT = 0x6003000B;
inline constexpr DispId kReadText = 0x60030014;
inline constexpr DispId kNoPing = 1;
inline constexpr DispId kNewMail = 2;
/// What a name lookup yields for a name it does not know (DISPID_UNKNOWN).
inline constexpr DispId kUnknown = -1;
}  // namespace dispid

namespace typelib {

/// GUID texts in registry form without braces, lower case.
inline constexpr std::string_view kLibId = "054b510d-0d6f-42b1-af7b-2a5868f395dd";
inline constexpr std::string_view kClsId = "4fed6267-5f3f-4e23-a7c1-839b49fc8da9";
inline constexpr std::string_view kIidVostrel = "dea05bf8-aec7-48b4-8fc7-f37f57892d5d";
inline constexpr std::string_view kIidVostrelEvents = "b741f7a8-a681-47c0-a884-5cfa27287ada";

/// The type library.
inline constexpr std::string_view kLibraryName = "VostrelControl";
inline constexpr std::string_view kLibraryHelpString = "VostrelControl";
inline constexpr int kLibraryMajor = 14;
inline constexpr int kLibraryMinor = 0;
/// Language-neutral (LCID 0): a look-up for any locale finds the library
/// (LoadRegTypeLib falls back to 0, never to one language from another).
inline constexpr std::uint32_t kLibraryLcid = 0;
/// Built for 32-bit Windows (SYS_WIN32), flagged as a control library
/// (LIBFLAG_FCONTROL), no help file.
inline constexpr bool kLibraryIsControl = true;
inline constexpr std::string_view kLibrarySysKind = "win32";
/// Where the compiled type library sits in the module: resource TYPELIB, 1.
inline constexpr int kTypeLibResourceId = 1;

/// The control class (coclass): a control, not creatable by client code
/// (only a container creates it).
inline constexpr std::string_view kClassName = "Vostrel";
inline constexpr int kClassMajor = 1;
inline constexpr int kClassMinor = 0;
inline constexpr bool kClassIsControl = true;
inline constexpr bool kClassIsCreatable = false;
/// Toolbox picture: bitmap resource 30000, 16 x 15 pixels, 24 bits per pixel.
inline constexpr int kToolboxBitmapId = 30000;

/// The default interface: dual, hidden, non-extensible, OLE-automation
/// compatible, derived from IDispatch.
inline constexpr std::string_view kInterfaceName = "_Vostrel";
inline constexpr int kInterfaceMajor = 1;
inline constexpr int kInterfaceMinor = 0;
/// The default source interface: dispatch-only, hidden, non-extensible.
inline constexpr std::string_view kEventInterfaceName = "__Vostrel";
inline constexpr int kEventInterfaceMajor = 1;
inline constexpr int kEventInterfaceMinor = 0;

/// Registration attribute of the class: its OLE miscellaneous status. The
/// control is invisible while its host runs.
namespace olemisc {
inline constexpr std::uint32_t kRecomposeOnResize = 0x00000001;
inline constexpr std::uint32_t kCantLinkInside = 0x00000010;
inline constexpr std::uint32_t kInsideOut = 0x00000080;
inline constexpr std::uint32_t kActivateWhenVisible = 0x00000100;
inline constexpr std::uint32_t kInvisibleAtRuntime = 0x00000400;
inline constexpr std::uint32_t kSetClientSiteFirst = 0x00020000;
}  // namespace olemisc
inline constexpr std::uint32_t kOleMiscStatus = 0x00020591;

/// One parameter: its published name, its type, and whether the member
/// takes it by reference (and may write back into it).
struct ParamInfo {
    std::string_view name;
    Variant::Type type;
    bool byRef;
};

/// One member of _Vostrel (or one event of __Vostrel, kind Method).
struct MemberInfo {
    std::string_view name;
    InvokeKind kind;  // exactly one of Method, PropertyGet, PropertyPut
    DispId id;
    int paramCount;
    std::array<ParamInfo, 2> params;
    Variant::Type result;  // Empty: no result
};

using VType = Variant::Type;
// clang-format off
/// The members of _Vostrel in the order of its function table.
inline constexpr std::array<MemberInfo, 11> kMembers{{
    {"Connection", InvokeKind::PropertyGet, dispid::kConnection, 0, {}, VType::Boolean},
    {"Connection", InvokeKind::PropertyPut, dispid::kConnection, 1,
     {{{"New_Connection", VType::Boolean, false}}}, VType::Empty},
    {"SendValue", InvokeKind::Method, dispid::kSendValue, 2,
     {{{"MailBox", VType::Integer, true}, {"Value", VType::Long, true}}}, VType::Integer},
    {"SendText", InvokeKind::Method, dispid::kSendText, 2,
     {{{"MailBox", VType::Integer, true}, {"Mail", VType::String, true}}}, VType::Integer},
    {"ConnectNXT", InvokeKind::Method, dispid::kConnectNXT, 2,
     {{{"PortNumber", VType::Integer, true}, {"BoudRate", VType::Integer, true}}}, VType::Integer},
    {"DisconnectNXT", InvokeKind::Method, dispid::kDisconnectNXT, 0, {}, VType::Integer},
    {"ErrorMessage", InvokeKind::PropertyGet, dispid::kErrorMessage, 0, {}, VType::String},
    {"ErrorMessage", InvokeKind::PropertyPut, dispid::kErrorMessage, 1,
     {{{"New_ErrorMessage", VType::String, false}}}, VType::Empty},
    {"ReadText", InvokeKind::Method, dispid::kReadText, 1, {{{"MsgBox", VType::Integer, true}}},
     VType::String},
    {"PingNXT", InvokeKind::PropertyGet, dispid::kPingNXT, 0, {}, VType::Boolean},
    {"PingNXT", InvokeKind::PropertyPut, dispid::kPingNXT, 1,
     {{{"New_PingNXT", VType::Boolean, false}}}, VType::Empty},
}};

/// The events of __Vostrel; each returns nothing.
inline constexpr std::array<MemberInfo, 2> kEvents{{
    {"NoPing", InvokeKind::Method, dispid::kNoPing, 0, {}, VType::Empty},
    {"NewMail", InvokeKind::Method, dispid::kNewMail, 1, {{{"MailBox", VType::Integer, true}}},
     VType::Empty},
}};
// clang-format on

/// The entry of kMembers for `id` invoked as `kind` (exactly one kind), or
/// nullptr when _Vostrel has no such member.
const MemberInfo* FindMember(DispId id, InvokeKind kind);

/// The IDL compiler a generated description is meant for.
enum class IdlCompiler {
    Midl,
    /// widl refuses `version` and `nonextensible` on a dispinterface; its
    /// form leaves those two out of __Vostrel, and the module's build sets
    /// them in the compiled library afterwards (activex/typelib/).
    Widl,
};

/// An IDL description of the type library, generated from the tables above,
/// for a Windows IDL compiler (MIDL: `midl /win32 vostrel.idl`).
std::string GenerateIdl(IdlCompiler compiler = IdlCompiler::Midl);

}  // namespace typelib
}  // namespace vostrel
