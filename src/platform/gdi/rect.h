#pragma once
// Rectangle helpers. A rectangle covers the pixels left..right-1 by top..bottom-1. Arithmetic
// wraps around at the 32-bit limits instead of overflowing. Each returns FALSE for a null pointer.

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

BOOL SetRect(RECT* rect, int left, int top, int right, int bottom);
BOOL SetRectEmpty(RECT* rect);
BOOL OffsetRect(RECT* rect, int dx, int dy);
// Grows each side outwards by dx and dy (shrinks for negative values).
BOOL InflateRect(RECT* rect, int dx, int dy);
// TRUE when the rectangle covers no pixel (right <= left or bottom <= top), or rect is null.
BOOL IsRectEmpty(const RECT* rect);
// The common part of a and b; an empty result is set to (0, 0, 0, 0) and returns FALSE.
BOOL IntersectRect(RECT* out, const RECT* a, const RECT* b);
BOOL PtInRect(const RECT* rect, POINT point);

}  // namespace corvane::gdi
