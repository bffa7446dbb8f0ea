#pragma once
// Regions: sets of whole pixels. A rectangle region covers left..right-1 by top..bottom-1.
// Shaped regions follow the pixel rules of region_raster.h; their boxes may be at most 65536 pixels
// on a side and polygon points within +-2^27, else they fail.
// Region results: NULLREGION (empty), SIMPLEREGION (one rectangle), COMPLEXREGION, ERROR.

#include <QRegion>

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

HRGN CreateRectRgn(int left, int top, int right, int bottom);
HRGN CreateRectRgnIndirect(const RECT* rect);
// The ellipse inscribed in the pixels left..right-2 by top..bottom-2: the pixels whose centres lie
// inside the ellipse through the middles of that box's sides, so it is symmetric about both centre
// lines and touches each side of the box. A box 1 pixel wide or high gives an empty region, a 2 x 2
// box the single pixel (left, top).
HRGN CreateEllipticRgn(int left, int top, int right, int bottom);
// A polygon of at least three points, closed automatically, filled by ALTERNATE or WINDING. Pixel
// (x, y) belongs to it when the point (x, y) does: points on a left or top edge are inside, points on
// a right or bottom edge outside (so the square (0,0) (4,0) (4,4) (0,4) holds the pixels 0..3 by 0..3).
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
