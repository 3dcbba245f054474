// The type library embedded in this module (resource TYPELIB 1), loaded
// once and shared by every object of the process.
#pragma once

#include <windows.h>

namespace vostrel::activex {

/// The type information of `guid` (_Vostrel, __Vostrel or the class) from
/// the embedded library; the caller releases it.
HRESULT EmbeddedTypeInfo(REFGUID guid, ITypeInfo** out);

}  // namespace vostrel::activex
