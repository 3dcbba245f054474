// The window the control has while a container keeps it active in place: a
// child of the container's window, painted with the control's picture
// while the form is designed and hidden while it runs.
#pragma once

#include <windows.h>
// After windows.h, which it needs:
#include <ocidl.h>

namespace vostrel::activex {

/// Creates the window over `position` (in the parent's client coordinates),
/// painted by `painter` (its Draw with DVASPECT_CONTENT), shown when
/// `visible`. `painter` must outlive the window. Returns nullptr, with the
/// reason in GetLastError(), when the system refuses it.
HWND CreateDesignWindow(HWND parent, const RECT& position, IViewObject* painter, bool visible);

/// Destroys a window CreateDesignWindow made (nullptr: nothing).
void DestroyDesignWindow(HWND window);

}  // namespace vostrel::activex
