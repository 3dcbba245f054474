// Looking up a member of the default interface by dispatch id and kind.
#include "vostrel/type_library.hpp"

namespace vostrel::typelib {

const MemberInfo* FindMember(DispId id, InvokeKind kind) {
    for (const MemberInfo& m : kMembers)
        if (m.id == id && m.kind == kind) return &m;
    return nullptr;
}

}  // namespace vostrel::typelib
