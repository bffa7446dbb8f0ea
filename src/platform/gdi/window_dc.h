#pragma once
// Contexts of on-screen windows. A window's context draws on a colour surface of the window's size
// that the window shows; the window layer (platform/window_gdi.h) makes one context per window, keeps
// it at the window's size and gives it the window's region. Such a context behaves as a memory
// context with three differences: its bitmap cannot be swapped (SelectObject of a bitmap fails and
// GetCurrentObject reports none), DeleteDC refuses it (it ends with its window), and the window's
// region clips everything drawn on it in addition to any selected clip region.

#include <QImage>
#include <QRegion>

#include <functional>

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

// A window context whose surface is width x height, filled with `background`. `surfaceTaken` is
// called every time a drawing call takes the surface (GetPixel does not), so the window can show it.
// Null when the table is full. A side of 0 (or one a bitmap may not have) leaves the context without
// pixels: drawing on it fails until it is resized.
HDC MakeWindowContext(int width, int height, COLORREF background, std::function<void()> surfaceTaken);
// Resizes the surface, keeping the pixels that stay inside and filling the new part with
// `background`. FALSE for anything but a window context.
BOOL ResizeWindowContext(HDC dc, int width, int height, COLORREF background);
// The window's region in the context's coordinates; null: the whole window.
BOOL SetWindowContextRegion(HDC dc, const QRegion* region);
// A copy of the surface's pixels (Format_RGB32); a null image when there are none.
QImage WindowContextImage(HDC dc);
// Ends a window context, releasing what is selected into it.
BOOL EndWindowContext(HDC dc);

}  // namespace corvane::gdi
