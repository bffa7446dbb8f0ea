#pragma once
// Regions: sets of whole pixels. A rectangle region covers left..right-1 by top..bottom-1.
// Shaped regions take the pixels whose centres lie inside the shape (region_raster.h); their
// boxes may be at most 65536 pixels on a side and polygon points within +-2^27, else they fail.
// Region results: NULLREGION (empty), SIMPLEREGION (one rectangle), COMPLEXREGION, ERROR.

#include <QRegion>

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

HRGN CreateRectRgn(int left, int top, int right, int bottom);
HRGN CreateRectRgnIndirect(const RECT* rect);
// The ellipse inscribed in left..right-1 by top..bottom-1, symmetric about both centre lines.
HRGN CreateEllipticRgn(int left, int top, int right, int bottom);
// A polygon of at least three points, closed automatically, filled by ALTERNATE or WINDING.
HRGN CreatePolygonRgn(const POINT* points, int count, int fillMode);

// dest = a AND / OR / XOR / DIFF (a minus b) / COPY (a) b. dest may be a or b.
int CombineRgn(HRGN dest, HRGN a, HRGN b, int mode);
int OffsetRgn(HRGN region, int dx, int dy);
// The smallest rectangle holding the region; (0, 0, 0, 0) when empty.
int GetRgnBox(HRGN region, RECT* box);
BOOL PtInRegion(HRGN region, int x, int y);
BOOL EqualRgn(HRGN a, HRGN b);

// Fills the region with the brush, within the context's clip.
BOOL FillRgn(HDC dc, HRGN region, HBRUSH brush);
// Paints a border inside the region's edge: every pixel of the region that is not also in the
// region moved by width left, by width right, by height up and by height down. width and height
// must be positive.
BOOL FrameRgn(HDC dc, HRGN region, HBRUSH brush, int width, int height);
// Clips all later drawing on dc to a copy of the region (the caller keeps and deletes its own);
// null removes the clip. On a window's context the window's region clips as well, whatever is
// selected. Returns the result of the clip in force.
int SelectClipRgn(HDC dc, HRGN region);

// Conversions for windows: the control's shape as a QRegion (for its mask and input), and back.
QRegion RegionToQRegion(HRGN region);
HRGN CreateRgnFromQRegion(const QRegion& region);

}  // namespace corvane::gdi
