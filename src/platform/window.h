#pragma once
// Window handles. Parts of the system that the desktop reaches through plain integers (tray records,
// window properties, timers, the container handle a button keeps as decimal text) name a window by a
// WindowHandle: a small non-zero number that stays valid for the window's life and is never reused
// while the process runs. A handle whose window is gone resolves to nothing, so stale numbers are harmless.
#include <cstdint>

class QWidget;

namespace corvane::platform {

using WindowHandle = std::uintptr_t;  // 0 names no window

// The handle of a window, given out on first use; the same handle for the window's whole life.
WindowHandle HandleOf(QWidget* window);

// The live window behind a handle, or nullptr when the handle is 0, unknown or its window was destroyed.
QWidget* WindowOf(WindowHandle handle);

}  // namespace corvane::platform
