// The control's three persisted properties, saved to and restored from a
// Python dict or the text form of the project's property bag.
#pragma once

#include <string>

#include "bindings.hpp"
#include "vostrel/vostrel.hpp"

namespace vostrel::python {

/// {"Connection": ..., "ErrorMessage": ..., "PingNXT": ...}: Booleans as
/// bool (or the raw int when neither -1 nor 0), the text as str.
py::dict SaveToDict(Vostrel& control);
/// Restores from such a dict; missing keys take their defaults. Raises
/// ValueError for any other key, and vostrel.Error naming the key for a
/// value that does not convert; nothing is restored then.
void RestoreFromDict(Vostrel& control, const py::dict& values);
/// The bag's text form ("Name = Type value" lines).
std::string SaveToText(Vostrel& control);
/// Raises vostrel.Error 321 naming the line for a malformed text, and
/// vostrel.Error naming the property for a value that does not convert;
/// nothing is restored then.
void RestoreFromText(Vostrel& control, const std::string& text);

}  // namespace vostrel::python
