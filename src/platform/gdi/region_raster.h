#pragma once
// Pixel rules of the shaped regions, shared by the region functions and by Arc.
// Ellipses: a pixel belongs to the ellipse inscribed in a box when its centre (x + 0.5, y + 0.5) lies
// inside the ellipse. Polygons: a pixel (x, y) belongs to the polygon when the point (x, y) itself
// lies inside it; a point on a left or top edge is inside, one on a right or bottom edge outside.
// Internal to the drawing service.

#include <QRegion>

#include <vector>

#include "platform/gdi/clip_spans.h"
#include "platform/gdi/gdi_types.h"

namespace corvane::gdi::detail {

// Rows of a shape: row i is y = top + i, holding its runs left to right.
struct RowSpans {
    long long top = 0;
    std::vector<std::vector<Span>> rows;
};

// Largest box side accepted for shaped regions; bigger requests fail.
inline constexpr long long kMaxShapeSide = 1LL << 16;
// Largest coordinate magnitude accepted for polygon points.
inline constexpr long long kMaxShapeCoordinate = 1LL << 27;

// The ellipse inscribed in [left, right) x [top, bottom): pixel centres with
// ((2x + 1 - left - right) / (right - left))^2 + ((2y + 1 - top - bottom) / (bottom - top))^2 <= 1.
// Each row holds at most one run and the shape is symmetric about both centre lines.
RowSpans ellipseRows(long long left, long long top, long long right, long long bottom);

// A polygon (closed automatically) under ALTERNATE (odd crossings) or WINDING (non-zero) filling.
RowSpans polygonRows(const POINT* points, int count, int fillMode);

// The region covering the runs, in QRegion's banded form (equal rows merged into one band).
QRegion regionFromRows(const RowSpans& rows);

}  // namespace corvane::gdi::detail
