#pragma once
// Device contexts: a memory context draws on the bitmap selected into it, with its selected pen,
// brush and font, its text and background colours, background mode, clip region and map mode.
// A new memory context holds a 1 x 1 monochrome bitmap, the black pen, the white brush and the
// system font; text colour black, background white, mode OPAQUE, no clip, MM_TEXT, stretch mode
// BLACKONWHITE.
// All objects belong to the thread that created them.

#include <cstddef>

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

// A memory context compatible with dc (null: with the screen). Null when the table is full or dc
// is not a valid context.
HDC CreateCompatibleDC(HDC dc);
// Deletes a memory context; the objects selected into it become free to delete. Fails for the
// screen context, for a window's context (window_dc.h) and for invalid handles.
BOOL DeleteDC(HDC dc);

// The screen context (32-bit colour, no drawable surface: drawing on it fails). Use it to make
// contexts and bitmaps compatible with the screen; ReleaseDC gives it back (returns 1).
HDC GetDC(std::nullptr_t window);
int ReleaseDC(std::nullptr_t window, HDC dc);

// Selects a pen, brush, font or bitmap and returns the object it replaces; null on failure.
// A bitmap can be in one memory context at a time (the stock 1 x 1 bitmap excepted); the screen
// context and a window's context take no bitmap. Regions are selected with SelectClipRgn, not here.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
// Deletes a pen, brush, font, bitmap or region. Fails (FALSE) while the object is selected into a
// context and for invalid or deleted handles; stock objects are left alone and report TRUE.
BOOL DeleteObject(HGDIOBJ object);
// WHITE_BRUSH .. NULL_BRUSH, WHITE_PEN, BLACK_PEN, NULL_PEN, SYSTEM_FONT, DEFAULT_GUI_FONT, DEFAULT_PALETTE.
HGDIOBJ GetStockObject(int index);
// The pen, brush, font or bitmap selected into dc (kind names which); null on failure.
HGDIOBJ GetCurrentObject(HDC dc, ObjectKind kind);

// Background mode: OPAQUE fills text backgrounds and pen gaps with the background colour;
// TRANSPARENT and NEWTRANSPARENT leave them. Returns the previous mode, 0 on failure.
int SetBkMode(HDC dc, int mode);
int GetBkMode(HDC dc);
// Colours return the previous value, CLR_INVALID on failure. Only the low 24 bits are kept.
COLORREF SetBkColor(HDC dc, COLORREF color);
COLORREF GetBkColor(HDC dc);
COLORREF SetTextColor(HDC dc, COLORREF color);
COLORREF GetTextColor(HDC dc);
// The canvas draws in device pixels: MM_TEXT is the only mode it accepts (others fail with 0, so
// nothing is ever drawn at a scale the caller did not get). Returns the previous mode.
int SetMapMode(HDC dc, int mode);
int GetMapMode(HDC dc);

// Objects (contexts included, stock objects not) alive in the calling thread's table: a tool for
// leak checks in tests.
std::size_t LiveObjectCount();

}  // namespace corvane::gdi
