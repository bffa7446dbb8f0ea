#include "platform/gdi/rect.h"

#include <algorithm>

namespace corvane::gdi {

namespace {

LONG wrapAdd(LONG a, LONG b) {
    return static_cast<LONG>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

}  // namespace

BOOL SetRect(RECT* rect, int left, int top, int right, int bottom) {
    if (!rect) return FALSE;
    *rect = RECT{left, top, right, bottom};
    return TRUE;
}

BOOL SetRectEmpty(RECT* rect) { return SetRect(rect, 0, 0, 0, 0); }

BOOL OffsetRect(RECT* rect, int dx, int dy) {
    if (!rect) return FALSE;
    rect->left = wrapAdd(rect->left, dx);
    rect->right = wrapAdd(rect->right, dx);
    rect->top = wrapAdd(rect->top, dy);
    rect->bottom = wrapAdd(rect->bottom, dy);
    return TRUE;
}

BOOL InflateRect(RECT* rect, int dx, int dy) {
    if (!rect) return FALSE;
    rect->left = wrapAdd(rect->left, static_cast<LONG>(0u - static_cast<std::uint32_t>(dx)));
    rect->right = wrapAdd(rect->right, dx);
    rect->top = wrapAdd(rect->top, static_cast<LONG>(0u - static_cast<std::uint32_t>(dy)));
    rect->bottom = wrapAdd(rect->bottom, dy);
    return TRUE;
}

BOOL IsRectEmpty(const RECT* rect) {
    return !rect || rect->right <= rect->left || rect->bottom <= rect->top ? TRUE : FALSE;
}

BOOL IntersectRect(RECT* out, const RECT* a, const RECT* b) {
    if (!out || !a || !b) return FALSE;
    RECT r{std::max(a->left, b->left), std::max(a->top, b->top), std::min(a->right, b->right),
           std::min(a->bottom, b->bottom)};
    if (IsRectEmpty(&r) || IsRectEmpty(a) || IsRectEmpty(b)) {
        *out = RECT{};
        return FALSE;
    }
    *out = r;
    return TRUE;
}

BOOL PtInRect(const RECT* rect, POINT point) {
    return rect && point.x >= rect->left && point.x < rect->right && point.y >= rect->top && point.y < rect->bottom
               ? TRUE
               : FALSE;
}

}  // namespace corvane::gdi
