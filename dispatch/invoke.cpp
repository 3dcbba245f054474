// Vostrel::Invoke: every member of the default interface by dispatch id and
// kind, with its arguments checked and converted before the member runs.
#include <cstdio>
#include <string>

#include "vostrel/dispatch.hpp"

namespace vostrel {

namespace {

using typelib::MemberInfo;
using typelib::ParamInfo;

std::string Hex(DispId id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(id));
    return buf;
}

const char* KindName(InvokeKind kind) {
    switch (kind) {
        case InvokeKind::Method:
            return "method";
        case InvokeKind::PropertyGet:
            return "property get";
        case InvokeKind::PropertyPut:
            return "property put";
    }
    return "call";
}

// The member that `kind` reaches at `dispid`. A combined Method|PropertyGet
// takes the method if there is one, else the getter.
const MemberInfo& Resolve(DispId dispid, InvokeKind kind) {
    constexpr auto known = static_cast<std::uint16_t>(InvokeKind::Method) |
                           static_cast<std::uint16_t>(InvokeKind::PropertyGet) |
                           static_cast<std::uint16_t>(InvokeKind::PropertyPut);
    const auto bits = static_cast<std::uint16_t>(kind);
    if (bits == 0 || (bits & ~known) != 0)
        throw Error(err::kInvalidArgument, "Invalid procedure call or argument: invoke kind " +
                                               std::to_string(bits) + " is not a call kind");
    if (HasKind(kind, InvokeKind::PropertyPut) && kind != InvokeKind::PropertyPut)
        throw Error(err::kInvalidArgument,
                    "Invalid procedure call or argument: a property put cannot be combined "
                    "with another kind");
    for (InvokeKind k : {InvokeKind::Method, InvokeKind::PropertyGet, InvokeKind::PropertyPut})
        if (HasKind(kind, k))
            if (const MemberInfo* m = typelib::FindMember(dispid, k)) return *m;
    std::string what = "Object doesn't support this property or method: dispatch id " + Hex(dispid);
    if (typelib::FindMember(dispid, InvokeKind::Method) ||
        typelib::FindMember(dispid, InvokeKind::PropertyGet) ||
        typelib::FindMember(dispid, InvokeKind::PropertyPut))
        what += " cannot be called that way";
    throw Error(err::kMemberNotFound, what);
}

[[noreturn]] void ArgumentError(int number, const MemberInfo& m, int index, const char* why) {
    const ParamInfo& p = m.params[static_cast<std::size_t>(index)];
    throw Error(number, ErrorText(number) + ": argument " + std::to_string(index + 1) + " (" +
                            std::string(p.name) + ") of " + std::string(m.name) + " " + why);
}

template <class T>
T Convert(const Variant& v) {
    if constexpr (std::is_same_v<T, Integer>)
        return v.ToInteger();
    else if constexpr (std::is_same_v<T, Long>)
        return v.ToLong();
    else if constexpr (std::is_same_v<T, Boolean>)
        return v.ToBoolean();
    else
        return v.ToString();
}

const char* ExpectedType(Variant::Type t) {
    switch (t) {
        case Variant::Type::Integer:
            return "must be an Integer";
        case Variant::Type::Long:
            return "must be a Long";
        case Variant::Type::Boolean:
            return "must be a Boolean";
        case Variant::Type::String:
            return "must be a String";
        case Variant::Type::Empty:
            break;
    }
    return "has the wrong type";
}

// The argument as a by-value parameter: converted as Automation converts,
// a by-reference argument read through its reference.
template <class T>
T ByValue(const Argument& a, const MemberInfo& m, int index) {
    try {
        return Convert<T>(a.Value());
    } catch (const Error& e) {
        ArgumentError(e.Number(), m, index,
                      ExpectedType(m.params[static_cast<std::size_t>(index)].type));
    }
}

// The variable a by-reference parameter works on: the caller's own when the
// argument is by reference (it must have exactly the parameter's type),
// otherwise `temp` holding the converted value, as a call with an
// expression does.
template <class T>
T& ByReference(Argument& a, T& temp, const MemberInfo& m, int index) {
    if (a.IsByRef()) {
        if (T* ref = a.RefTo<T>()) return *ref;
        ArgumentError(err::kTypeMismatch, m, index,
                      (std::string("is passed by reference as ") + TypeName(a.type()) + " and " +
                       ExpectedType(m.params[static_cast<std::size_t>(index)].type))
                          .c_str());
    }
    temp = ByValue<T>(a, m, index);
    return temp;
}

}  // namespace

Variant Vostrel::Invoke(DispId dispid, InvokeKind kind, std::span<Argument> args) {
    const MemberInfo& m = Resolve(dispid, kind);
    if (args.size() != static_cast<std::size_t>(m.paramCount))
        throw Error(err::kWrongArgumentCount, "Wrong number of arguments: " + std::string(m.name) +
                                                  " (" + KindName(m.kind) + ") takes " +
                                                  std::to_string(m.paramCount) + ", given " +
                                                  std::to_string(args.size()));
    // Every argument is checked and converted before the member runs, so a
    // refused call changes nothing.
    switch (m.id) {
        case dispid::kConnection:
            if (m.kind == InvokeKind::PropertyGet) return Connection();
            Connection(ByValue<Boolean>(args[0], m, 0));
            return {};
        case dispid::kErrorMessage:
            if (m.kind == InvokeKind::PropertyGet) return ErrorMessage();
            ErrorMessage(ByValue<String>(args[0], m, 0));
            return {};
        case dispid::kPingNXT:
            if (m.kind == InvokeKind::PropertyGet) return PingNXT();
            PingNXT(ByValue<Boolean>(args[0], m, 0));
            return {};
        case dispid::kSendValue: {
            Integer mailBoxTemp = 0;
            Long valueTemp = 0;
            Integer& mailBox = ByReference(args[0], mailBoxTemp, m, 0);
            Long& value = ByReference(args[1], valueTemp, m, 1);
            return SendValue(mailBox, value);
        }
        case dispid::kSendText: {
            Integer mailBoxTemp = 0;
            String mailTemp;
            Integer& mailBox = ByReference(args[0], mailBoxTemp, m, 0);
            String& mail = ByReference(args[1], mailTemp, m, 1);
            return SendText(mailBox, mail);
        }
        case dispid::kConnectNXT: {
            Integer portTemp = 0;
            Integer rateTemp = 0;
            Integer& port = ByReference(args[0], portTemp, m, 0);
            Integer& rate = ByReference(args[1], rateTemp, m, 1);
            return ConnectNXT(port, rate);
        }
        case dispid::kDisconnectNXT:
            return DisconnectNXT();
        case dispid::kReadText: {
            Integer msgBoxTemp = 0;
            Integer& msgBox = ByReference(args[0], msgBoxTemp, m, 0);
            return ReadText(msgBox);
        }
    }
    // Only reached if the member table names a member this switch lacks.
    throw Error(err::kMemberNotFound,
                "Object doesn't support this property or method: " + std::string(m.name));
}

}  // namespace vostrel
