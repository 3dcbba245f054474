// Module-wide state of the in-process server: its instance handle, and the
// count of live objects and server locks that DllCanUnloadNow answers from.
#pragma once

#include <windows.h>

#include <string>

namespace vostrel::activex {

/// The module's instance handle (set when the DLL is loaded).
HINSTANCE ModuleHandle();
/// The module's full path, as registration writes it and LoadTypeLib reads it.
std::wstring ModulePath();

/// A live COM object of this module (or a server lock): the module cannot
/// be unloaded while one exists. Thread-safe.
void AddModuleRef();
void ReleaseModuleRef();
long ModuleRefs();

}  // namespace vostrel::activex
