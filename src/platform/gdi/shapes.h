#pragma once
// Outlines and filled shapes drawn with the context's pen and brush, clipped to the bitmap and
// the clip region. Coordinates are device pixels.

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

// A rectangle on left..right-1 by top..bottom-1 (corners given in any order). The outline runs on
// the border pixels of that box and the brush fills left+1..right-2 by top+1..bottom-2.
// - A one-pixel pen draws the border pixels; a dashed one runs its pattern from the top-right
//   corner, counter-clockwise (left along the top, down the left side, ...).
// - A wider pen is centred on the border pixels with round corners (see PenStroke: its tip
//   stamped on each of them), so it reaches width / 2 beyond the box.
// - A wider PS_INSIDEFRAME pen lies wholly inside the box, as square bands; the brush fills
//   what they leave.
// - A null pen draws no outline and the brush fills left..right-2 by top..bottom-2: one pixel
//   less at the right and the bottom than with a pen.
// A null brush leaves the inside alone.
BOOL Rectangle(HDC dc, int left, int top, int right, int bottom);

// Fills left..right-1 by top..bottom-1 with the brush (not the selected one); nothing when
// right <= left or bottom <= top.
BOOL FillRect(HDC dc, const RECT* rect, HBRUSH brush);

// Lines from each point to the next with the pen. Each line leaves out its last point (the next
// line starts there), so only the very last point of the call stays undrawn. Pixel rule: see
// line_raster.h. A pen wider than one pixel is centred on those pixels, with round joins and round
// ends at both ends (the last point included). Needs at least two points.
BOOL Polyline(HDC dc, const POINT* points, int count);

// The part of the outline of an ellipse that runs counter-clockwise from the ray through
// (xStart, yStart) to the ray through (xEnd, yEnd), both from the ellipse's centre. Equal rays
// draw the whole outline.
// Arc's ellipse fills its box: it is the ellipse inscribed in the pixels left..right-1 by
// top..bottom-1 (pixel centres inside it), which is one pixel wider and taller than the region of
// CreateEllipticRgn with the same arguments: that region keeps clear of the right column and the
// bottom row, so it is the region of CreateEllipticRgn(left, top, right + 1, bottom + 1) that Arc
// follows. The outline is every pixel of that ellipse with a left, right, upper or lower neighbour
// outside it: a whole Arc lights exactly the pixels of FrameRgn(1, 1) on that region, and not those
// of FrameRgn on CreateEllipticRgn(left, top, right, bottom).
// A dashed pen runs its pattern from the start ray, counter-clockwise. A wider pen is centred on
// the outline pixels with its round tip; a wider PS_INSIDEFRAME pen first moves the ellipse in by
// width / 2 at the left and top and by (width - 1) / 2 at the right and bottom, so the pen stays in
// the box.
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
