#pragma once
// Drawing at the window level: a window's device context, its region, its rectangle and its
// movement. A window asked for a context gets one that lasts as long as the window (GetDC gives the
// same context each time, ReleaseDC leaves it alive); what is drawn on it shows in the window, over
// what the window paints itself, as soon as the event loop runs. A window region limits the window
// to its pixels: the window shows only those, takes mouse input only there (elsewhere the input goes
// to what lies below), and its context draws only there.
#include "platform/gdi/gdi_types.h"
#include "platform/window.h"

namespace corvane::platform {

// The window's device context (drawing in window pixels, origin at the window's top-left); for
// window 0 the screen context. Null when the handle names no live window.
gdi::HDC GetDC(WindowHandle window);
// 1 when dc is that window's context (which stays valid), else 0.
int ReleaseDC(WindowHandle window, gdi::HDC dc);

// Gives the window the region (window coordinates; null removes it). The window owns the region from
// then on: the handle is deleted at once, so the caller must neither use nor delete it again.
// redraw repaints the window. 0 when the window or the region is invalid (the caller keeps the region
// then), else non-zero.
int SetWindowRgn(WindowHandle window, gdi::HRGN region, gdi::BOOL redraw);
// Copies the window's region into `region` (an existing region the caller owns) and returns its kind;
// gdi::ERROR when the window has no region or a handle is invalid.
int GetWindowRgn(WindowHandle window, gdi::HRGN region);

// The window's rectangle in screen coordinates (a top-level window with its frame).
gdi::BOOL GetWindowRect(WindowHandle window, gdi::RECT* rect);
// Moves and sizes the window: x, y in the parent's client coordinates (screen coordinates for a
// top-level window, whose rectangle includes its frame as in GetWindowRect). Negative sizes count as 0.
// repaint asks for the window to be painted at its new place.
gdi::BOOL MoveWindow(WindowHandle window, int x, int y, int width, int height, gdi::BOOL repaint);

}  // namespace corvane::platform
