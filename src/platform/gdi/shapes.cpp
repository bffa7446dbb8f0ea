#include "platform/gdi/shapes.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <tuple>
#include <vector>

#include "platform/gdi/line_raster.h"
#include "platform/gdi/pen_stroke.h"
#include "platform/gdi/region_raster.h"
#include "platform/gdi/surface.h"

namespace corvane::gdi {

using detail::BrushObject;
using detail::DcObject;
using detail::PenObject;
using detail::Surface;

namespace {

// A context ready to draw: its surface, pen and brush. False when any is missing.
struct Context {
    DcObject* dc = nullptr;
    std::optional<Surface> surface;
    PenObject* pen = nullptr;
    BrushObject* brush = nullptr;
    explicit operator bool() const { return dc != nullptr; }
    Context* operator->() { return this; }
};

Context open(HDC handle, bool drawing = true) {
    Context c;
    DcObject* dc = detail::lookupDc(handle);
    if (!dc) return c;
    c.surface = detail::surfaceOf(*dc, drawing);
    c.pen = detail::selectedPen(*dc);
    c.brush = detail::selectedBrush(*dc);
    if (c.surface && c.pen && c.brush) c.dc = dc;
    return c;
}

void fillWithBrush(Surface& s, const BrushObject& brush, long long x0, long long y0, long long x1, long long y1) {
    if (brush.brush.lbStyle == BS_NULL || x0 >= x1 || y0 >= y1) return;
    s.fill(x0, y0, x1, y1, s.pixelOf(brush.brush.lbColor));
}

// A one-pixel solid line a->b (b left out): a level or upright line is one run of pixels, any other
// is stepped pixel by pixel. Returns the stroke position after it.
long long strokeSolidLine(Surface& s, std::uint32_t pixel, POINT a, POINT b, long long position) {
    const long long ax = a.x, ay = a.y, bx = b.x, by = b.y;
    if (ay == by) {
        if (bx > ax) s.fill(ax, ay, bx, ay + 1, pixel);
        else if (bx < ax) s.fill(bx + 1, ay, ax + 1, ay + 1, pixel);
    } else if (ax == bx) {
        if (by > ay) s.fill(ax, ay, ax + 1, by, pixel);
        else s.fill(ax, by + 1, ax + 1, ay + 1, pixel);
    } else {
        const bool xMajor = std::llabs(bx - ax) >= std::llabs(by - ay);
        detail::rasterLine(ax, ay, bx, by, 0, xMajor ? s.width() : s.height(),
                           [&](long long x, long long y, long long) { s.plot(x, y, pixel); });
    }
    return position + std::max(std::llabs(bx - ax), std::llabs(by - ay));
}

// Draws the line a->b into the stroke, starting at stroke position `position`; returns the
// position after it.
long long strokeLine(Surface& s, detail::PenStroke& stroke, POINT a, POINT b, long long position) {
    if (stroke.width() == 1 && !stroke.dashed()) return strokeSolidLine(s, stroke.pixel(), a, b, position);
    const bool xMajor = std::llabs(static_cast<long long>(b.x) - a.x) >= std::llabs(static_cast<long long>(b.y) - a.y);
    const long long margin = stroke.width() / 2 + 1;  // how far a pen tip reaches from its centre
    const long long high = (xMajor ? s.width() : s.height()) + margin;
    detail::rasterLine(a.x, a.y, b.x, b.y, -margin, high,
                       [&](long long x, long long y, long long i) { stroke.mark(x, y, position + i); });
    return position +
           std::max(std::llabs(static_cast<long long>(b.x) - a.x), std::llabs(static_cast<long long>(b.y) - a.y));
}

}  // namespace

BOOL Rectangle(HDC dc, int left, int top, int right, int bottom) {
    auto c = open(dc);
    if (!c) return FALSE;
    long long l = std::min(left, right), r = std::max(left, right);
    long long t = std::min(top, bottom), b = std::max(top, bottom);
    if (l == r || t == b) return TRUE;
    Surface& s = *c->surface;
    const LOGPEN& pen = c->pen->pen;
    if ((pen.lopnStyle == PS_SOLID || pen.lopnStyle == PS_INSIDEFRAME) && pen.lopnWidth.x <= 1) {
        // A one-pixel solid outline: the border pixels, then the inside. A one-row rectangle (a
        // gradient's every band) is all border.
        const std::uint32_t p = s.pixelOf(pen.lopnColor);
        if (b - t == 1) {
            s.fill(l, t, r, b, p);
            return TRUE;
        }
        fillWithBrush(s, *c->brush, l + 1, t + 1, r - 1, b - 1);
        s.fill(l, t, r, t + 1, p);          // top row
        s.fill(l, b - 1, r, b, p);          // bottom row
        s.fill(l, t + 1, l + 1, b - 1, p);         // left column
        s.fill(r - 1, t + 1, r, b - 1, p);         // right column
        return TRUE;
    }
    detail::PenStroke stroke(*c->dc, *c->pen, s);
    if (!stroke.visible()) {
        // Without an outline the brush leaves the right column and the bottom row alone.
        fillWithBrush(s, *c->brush, l, t, r - 1, b - 1);
        return TRUE;
    }
    const long long w = stroke.width();
    if (w > 1 && stroke.insideFrame()) {
        // The whole pen inside the bounds.
        fillWithBrush(s, *c->brush, l + w, t + w, r - w, b - w);
        const std::uint32_t p = stroke.pixel();
        s.fill(l, t, r, std::min(b, t + w), p);          // top band
        s.fill(l, std::max(t, b - w), r, b, p);          // bottom band
        s.fill(l, t + w, std::min(r, l + w), b - w, p);  // left band
        s.fill(std::max(l, r - w), t + w, r, b - w, p);  // right band
        return TRUE;
    }
    fillWithBrush(s, *c->brush, l + 1, t + 1, r - 1, b - 1);
    if (stroke.dashed()) {
        // From the top-right corner, counter-clockwise.
        const POINT corners[] = {{static_cast<LONG>(r - 1), static_cast<LONG>(t)},
                                 {static_cast<LONG>(l), static_cast<LONG>(t)},
                                 {static_cast<LONG>(l), static_cast<LONG>(b - 1)},
                                 {static_cast<LONG>(r - 1), static_cast<LONG>(b - 1)},
                                 {static_cast<LONG>(r - 1), static_cast<LONG>(t)}};
        if (r - l == 1 || b - t == 1) {
            // a one-pixel-thin rectangle: a single line, its far end included
            long long position = strokeLine(s, stroke, corners[0], corners[2], 0);
            stroke.mark(corners[2].x, corners[2].y, position);
            return TRUE;
        }
        long long position = 0;
        for (int i = 0; i < 4; ++i) position = strokeLine(s, stroke, corners[i], corners[i + 1], position);
        return TRUE;
    }
    if (w > 1) {
        // The pen's round tip along every pixel of the one-pixel outline: centred on it, rounded outside
        // the corners. Only the stretches of the outline near the surface can reach it.
        const long long reach = w / 2 + 1;
        const long long x0 = std::max(l, -reach), x1 = std::min(r - 1, s.width() + reach);
        const long long y0 = std::max(t, -reach), y1 = std::min(b - 1, s.height() + reach);
        for (long long x = x0; x <= x1; ++x) {
            if (t >= -reach && t <= s.height() + reach) stroke.mark(x, t, 0);
            if (b - 1 >= -reach && b - 1 <= s.height() + reach) stroke.mark(x, b - 1, 0);
        }
        for (long long y = y0; y <= y1; ++y) {
            if (l >= -reach && l <= s.width() + reach) stroke.mark(l, y, 0);
            if (r - 1 >= -reach && r - 1 <= s.width() + reach) stroke.mark(r - 1, y, 0);
        }
        return TRUE;
    }
    // Every other one-pixel pen is dashed (above).
    return TRUE;
}

BOOL FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
    auto c = open(dc);
    BrushObject* b = detail::lookup<ObjectKind::brush, BrushObject>(brush);
    if (!c || !rect || !b) return FALSE;
    fillWithBrush(*c->surface, *b, rect->left, rect->top, rect->right, rect->bottom);
    return TRUE;
}

BOOL Polyline(HDC dc, const POINT* points, int count) {
    if (!points || count < 2) return FALSE;
    auto c = open(dc);
    if (!c) return FALSE;
    detail::PenStroke stroke(*c->dc, *c->pen, *c->surface);
    if (!stroke.visible()) return TRUE;
    long long position = 0;
    for (int i = 0; i + 1 < count; ++i) position = strokeLine(*c->surface, stroke, points[i], points[i + 1], position);
    // A wide pen ends round on the last point as well.
    if (stroke.width() > 1) stroke.mark(points[count - 1].x, points[count - 1].y, position);
    return TRUE;
}

BOOL Arc(HDC dc, int left, int top, int right, int bottom, int xStart, int yStart, int xEnd, int yEnd) {
    auto c = open(dc);
    if (!c) return FALSE;
    long long l = std::min(left, right), r = std::max(left, right);
    long long t = std::min(top, bottom), b = std::max(top, bottom);
    if (r - l > detail::kMaxShapeSide || b - t > detail::kMaxShapeSide) return FALSE;
    detail::PenStroke stroke(*c->dc, *c->pen, *c->surface);
    if (!stroke.visible()) return TRUE;
    if (stroke.insideFrame() && stroke.width() > 1) {
        // The outline moves in so that the whole pen stays inside the bounds.
        const long long w = stroke.width();
        l += w / 2;
        t += w / 2;
        r -= (w - 1) / 2;
        b -= (w - 1) / 2;
        if (l >= r || t >= b) return TRUE;
    }
    const detail::RowSpans rows = detail::ellipseRows(l, t, r, b);
    if (rows.rows.empty()) return TRUE;

    const double cx = static_cast<double>(l + r) / 2.0;
    const double cy = static_cast<double>(t + b) / 2.0;
    constexpr double kTurn = 2.0 * std::numbers::pi;
    const auto angleOf = [&](double x, double y) {
        const double a = std::atan2(cy - y, x - cx);  // counter-clockwise on screen, y grows down
        return a < 0 ? a + kTurn : a;
    };
    const double start = angleOf(xStart, yStart);
    const double end = angleOf(xEnd, yEnd);
    const bool whole = start == end;
    const double sweep = whole ? kTurn : std::fmod(end - start + kTurn, kTurn);

    struct Mark {
        double offset;
        long long y;
        long long x;
    };
    std::vector<Mark> marks;
    const auto spanOf = [&](long long i) -> std::pair<long long, long long> {
        if (i < 0 || i >= static_cast<long long>(rows.rows.size()) || rows.rows[static_cast<std::size_t>(i)].empty())
            return {0, 0};
        const auto& sp = rows.rows[static_cast<std::size_t>(i)].front();
        return {sp.x0, sp.x1};
    };
    for (long long i = 0; i < static_cast<long long>(rows.rows.size()); ++i) {
        const auto [a, e] = spanOf(i);
        if (a >= e) continue;
        const auto [ua, ue] = spanOf(i - 1);
        const auto [da, de] = spanOf(i + 1);
        // Interior pixels have all four neighbours inside; the rest of the row is outline.
        const long long innerFrom = std::max({a + 1, ua, da});
        const long long innerTo = std::min({e - 1, ue, de});
        const long long y = rows.top + i;
        for (long long x = a; x < e; ++x) {
            if (x >= innerFrom && x < innerTo) continue;
            const double offset =
                std::fmod(angleOf(static_cast<double>(x) + 0.5, static_cast<double>(y) + 0.5) - start + kTurn, kTurn);
            if (!whole && offset > sweep) continue;
            marks.push_back({offset, y, x});
        }
    }
    std::sort(marks.begin(), marks.end(),
              [](const Mark& m, const Mark& n) { return std::tie(m.offset, m.y, m.x) < std::tie(n.offset, n.y, n.x); });
    long long position = 0;
    for (const Mark& m : marks) stroke.mark(m.x, m.y, position++);
    return TRUE;
}

COLORREF SetPixel(HDC dc, int x, int y, COLORREF color) {
    auto c = open(dc);
    if (!c || !c->surface->visible(x, y)) return CLR_INVALID;
    const std::uint32_t p = c->surface->pixelOf(color & 0xFFFFFFu);
    c->surface->row(y)[x] = p;
    return detail::colorFromPixel(p);
}

COLORREF GetPixel(HDC dc, int x, int y) {
    auto c = open(dc, false);
    if (!c || !c->surface->visible(x, y)) return CLR_INVALID;
    return detail::colorFromPixel(c->surface->row(y)[x]);
}

BOOL DrawFocusRect(HDC dc, const RECT* rect) {
    auto c = open(dc);
    if (!c || !rect) return FALSE;
    const long long l = rect->left, t = rect->top, r = rect->right, b = rect->bottom;
    if (r <= l || b <= t) return TRUE;
    Surface& s = *c->surface;
    const auto flip = [&](long long x, long long y) {
        if (((x + y) & 1) == 0 && s.visible(x, y)) s.row(static_cast<int>(y))[x] ^= 0x00FFFFFFu;
    };
    const long long x0 = std::max<long long>(l, -1), x1 = std::min<long long>(r, s.width() + 1);
    for (long long x = x0; x < x1; ++x) {
        flip(x, t);
        if (b - 1 != t) flip(x, b - 1);
    }
    const long long y0 = std::max<long long>(t + 1, -1), y1 = std::min<long long>(b - 1, s.height() + 1);
    for (long long y = y0; y < y1; ++y) {
        flip(l, y);
        if (r - 1 != l) flip(r - 1, y);
    }
    return TRUE;
}

}  // namespace corvane::gdi
