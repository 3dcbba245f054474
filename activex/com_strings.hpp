// Automation strings and the control's byte strings. The control keeps one
// byte per character (character code = byte value), so a BSTR's UTF-16
// units 0 to 255 become those bytes and back. A unit above 255 has no byte:
// it becomes '?', as an ANSI conversion of an unmappable character does.
#pragma once

#include <windows.h>

#include <string>

#include "vostrel/types.hpp"

namespace vostrel::activex {

/// The bytes of `text` (a null BSTR is the empty text).
String FromBstr(const BSTR text);
/// A new BSTR of `bytes`, or nullptr when out of memory.
BSTR ToBstr(const String& bytes);
/// A name as the late-bound face looks it up (ASCII names; others fail to
/// match, as they should).
std::string NameFromWide(const wchar_t* name);

}  // namespace vostrel::activex
