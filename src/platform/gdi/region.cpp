#include "platform/gdi/region.h"

#include <algorithm>
#include <cstdlib>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/objects.h"
#include "platform/gdi/region_raster.h"
#include "platform/gdi/surface.h"

namespace corvane::gdi {

using detail::RegionObject;

namespace {

RegionObject* find(HRGN h) { return detail::lookup<ObjectKind::region, RegionObject>(h); }

HRGN store(QRegion region) { return HRGN(detail::table().add(RegionObject(std::move(region)))); }
// rect: one with area, or QRect().
HRGN storeRect(QRect rect) { return HRGN(detail::table().emplace<RegionObject>(rect)); }

int kindOf(const QRegion& r) {
    if (r.isEmpty()) return NULLREGION;
    return r.rectCount() == 1 ? SIMPLEREGION : COMPLEXREGION;
}

// The rectangle of two corners in any order (QRect() when it has no area); false when it is wider
// or taller than a QRect can hold.
bool RectOfCorners(int x0, int y0, int x1, int y1, QRect& out) {
    const auto [l, r] = std::minmax(x0, x1);
    const auto [t, b] = std::minmax(y0, y1);
    // r - l taken without overflow: it fits an unsigned int whatever the corners.
    if (static_cast<unsigned>(r) - static_cast<unsigned>(l) > 0x7FFFFFFFu ||
        static_cast<unsigned>(b) - static_cast<unsigned>(t) > 0x7FFFFFFFu)
        return false;
    out = l == r || t == b ? QRect() : QRect(QPoint(l, t), QPoint(r - 1, b - 1));
    return true;
}

}  // namespace

HRGN CreateRectRgn(int left, int top, int right, int bottom) {
    QRect rect;
    if (!RectOfCorners(left, top, right, bottom, rect)) return nullptr;
    return HRGN(detail::table().emplace<RegionObject>(rect));  // in line: the rectangle stays in registers
}

HRGN CreateRectRgnIndirect(const RECT* rect) {
    return rect ? CreateRectRgn(rect->left, rect->top, rect->right, rect->bottom) : HRGN();
}

HRGN CreateEllipticRgn(int left, int top, int right, int bottom) {
    if (std::llabs(static_cast<long long>(right) - left) > detail::kMaxShapeSide ||
        std::llabs(static_cast<long long>(bottom) - top) > detail::kMaxShapeSide)
        return nullptr;
    // The ellipse keeps one pixel clear of the right and bottom sides of the box.
    const long long l = std::min(left, right), r = std::max(left, right);
    const long long t = std::min(top, bottom), b = std::max(top, bottom);
    if (r - l < 2 || b - t < 2) return storeRect(QRect());
    return store(detail::regionFromRows(detail::ellipseRows(l, t, r - 1, b - 1)));
}

HRGN CreatePolygonRgn(const POINT* points, int count, int fillMode) {
    if (!points || count < 3 || (fillMode != ALTERNATE && fillMode != WINDING)) return nullptr;
    long long minY = points[0].y, maxY = points[0].y;
    for (int i = 0; i < count; ++i) {
        if (std::llabs(points[i].x) > detail::kMaxShapeCoordinate ||
            std::llabs(points[i].y) > detail::kMaxShapeCoordinate)
            return nullptr;
        minY = std::min<long long>(minY, points[i].y);
        maxY = std::max<long long>(maxY, points[i].y);
    }
    if (maxY - minY > detail::kMaxShapeSide) return nullptr;
    return store(detail::regionFromRows(detail::polygonRows(points, count, fillMode)));
}

namespace {

int CombineInGeneral(HRGN dest, HRGN a, HRGN b, int mode);

}  // namespace

int CombineRgn(HRGN dest, HRGN a, HRGN b, int mode) {
    if (mode != RGN_OR || a != dest || b == dest) return CombineInGeneral(dest, a, b, mode);
    // The step of a region built rectangle by rectangle, done without calls: dest = dest OR rectangle.
    detail::ObjectTable& objects = detail::table();
    RegionObject* d = objects.get<RegionObject>(dest.value);
    const RegionObject* rb = objects.get<RegionObject>(b.value);
    if (d && rb) {
        if (const QRect* simple = rb->simpleRect(); simple && d->appendInPlace(*simple))
            return COMPLEXREGION;  // a list of rectangles is never one rectangle
    }
    return CombineInGeneral(dest, dest, b, RGN_OR);
}

namespace {

[[gnu::noinline]] int CombineInGeneral(HRGN dest, HRGN a, HRGN b, int mode) {
    RegionObject* d = find(dest);
    RegionObject* ra = a == dest ? d : find(a);
    if (!d || !ra) return ERROR;
    if (mode == RGN_COPY) {
        if (d != ra) d->set(ra->get());
        return kindOf(d->get());
    }
    RegionObject* rb = find(b);
    if (!rb) return ERROR;
    if (d == ra && d != rb) {
        const QRect* simple = rb->simpleRect();
        if (mode == RGN_OR && simple) {
            // A rectangle added to the region: appended when it lies below or right of the rest.
            d->unite(*simple);
            return d->kind();
        }
        QRegion& target = d->edit();
        switch (mode) {
            case RGN_AND:
                target &= rb->get();
                break;
            case RGN_OR:
                target += rb->get();
                break;
            case RGN_XOR:
                target ^= rb->get();
                break;
            case RGN_DIFF:
                if (simple)
                    target -= QRegion(*simple);
                else
                    target -= rb->get();
                break;
            default:
                return ERROR;
        }
        return kindOf(target);
    }
    const QRegion& qa = ra->get();
    const QRegion& qb = rb->get();
    QRegion result;
    switch (mode) {
        case RGN_AND:
            result = qa.intersected(qb);
            break;
        case RGN_OR:
            result = qa.united(qb);
            break;
        case RGN_XOR:
            result = qa.xored(qb);
            break;
        case RGN_DIFF:
            result = qa.subtracted(qb);
            break;
        default:
            return ERROR;
    }
    d->set(std::move(result));
    return kindOf(d->get());
}

}  // namespace

int OffsetRgn(HRGN region, int dx, int dy) {
    RegionObject* r = find(region);
    if (!r) return ERROR;
    QRegion& moved = r->edit();
    if (!moved.isEmpty()) {
        const QRect box = moved.boundingRect();
        const long long nl = static_cast<long long>(box.left()) + dx;
        const long long nr = static_cast<long long>(box.right()) + dx;
        const long long nt = static_cast<long long>(box.top()) + dy;
        const long long nb = static_cast<long long>(box.bottom()) + dy;
        if (nl < INT32_MIN || nr > INT32_MAX - 1 || nt < INT32_MIN || nb > INT32_MAX - 1) return ERROR;
        moved.translate(dx, dy);
    }
    return kindOf(moved);
}

int GetRgnBox(HRGN region, RECT* box) {
    RegionObject* r = find(region);
    if (!r || !box) return ERROR;
    if (const QRect* simple = r->simpleRect()) {  // a rectangle keeps its cheap form
        *box = simple->isEmpty() ? RECT{}
                                 : RECT{simple->left(), simple->top(), simple->left() + simple->width(),
                                        simple->top() + simple->height()};
        return simple->isEmpty() ? NULLREGION : SIMPLEREGION;
    }
    if (r->get().isEmpty()) {
        *box = RECT{};
        return NULLREGION;
    }
    const QRect b = r->get().boundingRect();
    *box = RECT{b.left(), b.top(), b.left() + b.width(), b.top() + b.height()};
    return kindOf(r->get());
}

BOOL PtInRegion(HRGN region, int x, int y) {
    RegionObject* r = find(region);
    if (!r) return FALSE;
    if (const QRect* simple = r->simpleRect()) return simple->contains(QPoint(x, y)) ? TRUE : FALSE;
    return r->get().contains(QPoint(x, y)) ? TRUE : FALSE;
}

BOOL EqualRgn(HRGN a, HRGN b) {
    RegionObject* ra = find(a);
    RegionObject* rb = find(b);
    return ra && rb && ra->get().xored(rb->get()).isEmpty() ? TRUE : FALSE;
}

namespace {

BOOL paint(HDC dc, const QRegion& area, HBRUSH brush) {
    detail::DcObject* d = detail::lookupDc(dc);
    auto* b = detail::lookup<ObjectKind::brush, detail::BrushObject>(brush);
    if (!d || !b) return FALSE;
    auto surface = detail::surfaceOf(*d);
    if (!surface) return FALSE;
    if (b->brush.lbStyle == BS_NULL) return TRUE;
    const std::uint32_t pixel = surface->pixelOf(b->brush.lbColor);
    for (const QRect& r : area)
        surface->fill(r.left(), r.top(), static_cast<long long>(r.left()) + r.width(),
                      static_cast<long long>(r.top()) + r.height(), pixel);
    return TRUE;
}

}  // namespace

BOOL FillRgn(HDC dc, HRGN region, HBRUSH brush) {
    RegionObject* r = find(region);
    return r ? paint(dc, r->get(), brush) : FALSE;
}

BOOL FrameRgn(HDC dc, HRGN region, HBRUSH brush, int width, int height) {
    RegionObject* r = find(region);
    if (!r || width <= 0 || height <= 0) return FALSE;
    const QRegion& whole = r->get();
    const QRegion inner = whole.translated(-width, 0)
                              .intersected(whole.translated(width, 0))
                              .intersected(whole.translated(0, -height))
                              .intersected(whole.translated(0, height));
    return paint(dc, whole.subtracted(inner), brush);
}

int SelectClipRgn(HDC dc, HRGN region) {
    detail::DcObject* d = detail::lookupDc(dc);
    if (!d) return ERROR;
    if (!region) {
        d->clip.reset();
        detail::rebuildClip(*d);
        return d->windowClip ? kindOf(*d->windowClip) : SIMPLEREGION;
    }
    RegionObject* r = find(region);
    if (!r) return ERROR;
    d->clip = r->get();
    detail::rebuildClip(*d);
    return kindOf(d->windowClip ? r->get().intersected(*d->windowClip) : r->get());
}

QRegion RegionToQRegion(HRGN region) {
    RegionObject* r = find(region);
    return r ? r->get() : QRegion();
}

HRGN CreateRgnFromQRegion(const QRegion& region) { return store(region); }

}  // namespace corvane::gdi
