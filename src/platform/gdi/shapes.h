#pragma once
// Outlines and filled shapes drawn with the context's pen and brush, clipped to the bitmap and
// the clip region. Coordinates are device pixels.

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

// The pixels left..right-1 by top..bottom-1 (corners given in any order). The pen outline, as
// wide as the pen, lies inside those bounds; the brush fills what is inside the outline. A dashed
// pen runs its pattern clockwise from the top-left corner. A null pen leaves the whole area to
// the brush; a null brush leaves the inside alone.
BOOL Rectangle(HDC dc, int left, int top, int right, int bottom);

// Fills left..right-1 by top..bottom-1 with the brush (not the selected one); nothing when
// right <= left or bottom <= top.
BOOL FillRect(HDC dc, const RECT* rect, HBRUSH brush);

// Lines from each point to the next with the pen. Each line leaves out its last point (the next
// line starts there), so only the very last point of the call stays undrawn. Pixel rule: see
// line_raster.h. Needs at least two points.
BOOL Polyline(HDC dc, const POINT* points, int count);

// The part of the outline of the ellipse inscribed in left..right-1 by top..bottom-1 (the ellipse
// of CreateEllipticRgn with the same bounds) that runs counter-clockwise from the ray through
// (xStart, yStart) to the ray through (xEnd, yEnd), both from the ellipse's centre. Equal rays
// draw the whole outline. The outline is every pixel of the ellipse with a left, right, upper or
// lower neighbour outside it, so a whole Arc lights exactly the pixels of FrameRgn(1, 1) on that
// ellipse. A dashed pen runs its pattern from the start ray, counter-clockwise.
BOOL Arc(HDC dc, int left, int top, int right, int bottom, int xStart, int yStart, int xEnd, int yEnd);

// Sets one pixel; returns the colour actually stored (on a monochrome bitmap black or white), or
// CLR_INVALID outside the bitmap or the clip region.
COLORREF SetPixel(HDC dc, int x, int y, COLORREF color);
// The colour of one pixel, or CLR_INVALID outside the bitmap or the clip region.
COLORREF GetPixel(HDC dc, int x, int y);

// A dotted one-pixel frame on left..right-1 by top..bottom-1, drawn by inverting the colour of
// every frame pixel whose x + y is even; drawing it twice gives the original pixels back.
BOOL DrawFocusRect(HDC dc, const RECT* rect);

}  // namespace corvane::gdi
