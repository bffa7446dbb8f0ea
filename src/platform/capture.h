#pragma once
// Mouse capture: while a window holds the capture, all mouse input goes to it, wherever the pointer is.
#include "platform/window.h"

namespace corvane::platform {

// Captures the mouse to the window; returns the window that held the capture before (0 for none).
WindowHandle SetCapture(WindowHandle window);

// Releases the capture; false when no window of this program held it.
bool ReleaseCapture();

// The window holding the capture, 0 for none.
WindowHandle GetCapture();

}  // namespace corvane::platform
