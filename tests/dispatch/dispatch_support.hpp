// Small helpers shared by the late-binding tests.
#pragma once

#include <initializer_list>
#include <vector>

#include "testsupport/memory_control.hpp"
#include "vostrel/dispatch.hpp"

namespace vostrel::dispatch_test {

/// A byte string from byte values.
inline String Bytes(std::initializer_list<int> bytes) {
    String s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

/// Invoke with an argument list written in place.
inline Variant Call(Vostrel& control, DispId id, InvokeKind kind, std::vector<Argument> args = {}) {
    return control.Invoke(id, kind, args);
}

/// The error number Invoke throws, or 0 when it returns.
inline int ErrorOf(Vostrel& control, DispId id, InvokeKind kind, std::vector<Argument> args = {}) {
    try {
        control.Invoke(id, kind, args);
    } catch (const Error& e) {
        return e.Number();
    }
    return 0;
}

/// Connects the control on port 5 at 9600 through the late-bound face.
inline void Connect(vostrel::testing::MemoryControl& c) {
    Variant r = Call(*c, dispid::kConnectNXT, InvokeKind::Method, {Integer(5), Integer(9600)});
    if (r != Variant(Integer(0))) throw Error(err::kInvalidArgument, "test could not connect");
    c.comm->ClearWrites();
}

}  // namespace vostrel::dispatch_test
