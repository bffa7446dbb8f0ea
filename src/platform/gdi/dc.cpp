#include "platform/gdi/dc.h"

#include "platform/gdi/bitmap.h"
#include "platform/gdi/objects.h"

namespace corvane::gdi {

using detail::BitmapObject;
using detail::DcObject;
using detail::Slot;
using detail::table;

namespace {

void retain(std::uint32_t value) {
    if (Slot* s = table().slot(value)) ++s->selections;
}

void release(std::uint32_t value) {
    if (Slot* s = table().slot(value); s && s->selections > 0) --s->selections;
}

// Swaps the held handle for a new one of the same kind (its slot found already), keeping the
// selection counts.
template <ObjectKind K>
HGDIOBJ swapSelected(Handle<K>& held, Handle<K> incoming, Slot& incomingSlot) {
    const Handle<K> previous = held;
    if (previous == incoming) return previous;
    ++incomingSlot.selections;
    release(previous.value);
    held = incoming;
    return previous;
}

}  // namespace

HDC CreateCompatibleDC(HDC dc) {
    if (dc && !detail::lookupDc(dc)) return nullptr;
    const auto& stock = table().stock();
    DcObject made;
    made.bitmap = stock.defaultBitmap;
    made.pen = stock.blackPen;
    made.brush = stock.brushes[WHITE_BRUSH];
    made.font = stock.systemFont;
    made.palette = stock.defaultPalette;
    const HDC handle(table().add(std::move(made)));
    if (!handle) return nullptr;
    DcObject* created = detail::lookupDc(handle);
    retain(created->bitmap.value);
    retain(created->pen.value);
    retain(created->brush.value);
    retain(created->font.value);
    return handle;
}

BOOL DeleteDC(HDC dc) {
    DcObject* d = detail::lookupDc(dc);
    if (!d || d->screen || d->window) return FALSE;
    release(d->bitmap.value);
    release(d->pen.value);
    release(d->brush.value);
    release(d->font.value);
    return table().remove(dc.value) ? TRUE : FALSE;
}

HDC GetDC(std::nullptr_t) { return table().stock().screenDc; }

int ReleaseDC(std::nullptr_t, HDC dc) { return dc == table().stock().screenDc ? 1 : 0; }

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    DcObject* d = detail::lookupDc(dc);
    Slot* s = table().slot(object.value);
    if (!d || !s) return nullptr;
    // A new pen or brush is about to be drawn with: its object is resolved here, once.
    if (auto* brush = std::get_if<detail::BrushObject>(&s->object)) {
        d->resolved.brush = object.value;
        d->resolved.brushObject = brush;
        return swapSelected(d->brush, HBRUSH(object.value), *s);
    }
    if (auto* pen = std::get_if<detail::PenObject>(&s->object)) {
        d->resolved.pen = object.value;
        d->resolved.penObject = pen;
        return swapSelected(d->pen, HPEN(object.value), *s);
    }
    if (std::holds_alternative<detail::FontObject>(s->object)) return swapSelected(d->font, HFONT(object.value), *s);
    if (std::holds_alternative<BitmapObject>(s->object)) {
        if (d->screen || d->window) return nullptr;  // a window context draws on the window alone
        const HBITMAP incoming(object.value);
        if (incoming == d->bitmap) return d->bitmap;
        if (s->selections > 0 && !s->stock) return nullptr;  // already in another context
        return swapSelected(d->bitmap, incoming, *s);
    }
    return nullptr;
}

BOOL DeleteObject(HGDIOBJ object) {
    detail::ObjectTable& objects = table();
    Slot* s = objects.slot(object.value);
    if (!s || std::holds_alternative<DcObject>(s->object) || std::holds_alternative<detail::IconObject>(s->object))
        return FALSE;
    if (s->stock) return TRUE;
    if (s->selections > 0) return FALSE;
    if (auto* bitmap = std::get_if<BitmapObject>(&s->object)) detail::recyclePixels(std::move(bitmap->pixels));
    objects.release(*s, object.value);
    return TRUE;
}

HGDIOBJ GetStockObject(int index) {
    const auto& stock = table().stock();
    if (index >= WHITE_BRUSH && index <= NULL_BRUSH) return stock.brushes[index];
    switch (index) {
        case WHITE_PEN:
            return stock.whitePen;
        case BLACK_PEN:
            return stock.blackPen;
        case NULL_PEN:
            return stock.nullPen;
        case SYSTEM_FONT:
            return stock.systemFont;
        case DEFAULT_GUI_FONT:
            return stock.guiFont;
        case DEFAULT_PALETTE:
            return stock.defaultPalette;
        default:
            return nullptr;
    }
}

HGDIOBJ GetCurrentObject(HDC dc, ObjectKind kind) {
    DcObject* d = detail::lookupDc(dc);
    if (!d) return nullptr;
    switch (kind) {
        case ObjectKind::pen:
            return d->pen;
        case ObjectKind::brush:
            return d->brush;
        case ObjectKind::font:
            return d->font;
        case ObjectKind::bitmap:
            return d->screen || d->window ? HGDIOBJ() : HGDIOBJ(d->bitmap);
        default:
            return nullptr;
    }
}

int SetBkMode(HDC dc, int mode) {
    DcObject* d = detail::lookupDc(dc);
    if (!d || mode < TRANSPARENT || mode > NEWTRANSPARENT) return 0;
    const int previous = d->bkMode;
    d->bkMode = mode;
    return previous;
}

int GetBkMode(HDC dc) {
    const DcObject* d = detail::lookupDc(dc);
    return d ? d->bkMode : 0;
}

COLORREF SetBkColor(HDC dc, COLORREF color) {
    DcObject* d = detail::lookupDc(dc);
    if (!d) return CLR_INVALID;
    const COLORREF previous = d->bkColor;
    d->bkColor = color & 0xFFFFFFu;
    return previous;
}

COLORREF GetBkColor(HDC dc) {
    const DcObject* d = detail::lookupDc(dc);
    return d ? d->bkColor : CLR_INVALID;
}

COLORREF SetTextColor(HDC dc, COLORREF color) {
    DcObject* d = detail::lookupDc(dc);
    if (!d) return CLR_INVALID;
    const COLORREF previous = d->textColor;
    d->textColor = color & 0xFFFFFFu;
    return previous;
}

COLORREF GetTextColor(HDC dc) {
    const DcObject* d = detail::lookupDc(dc);
    return d ? d->textColor : CLR_INVALID;
}

int SetMapMode(HDC dc, int mode) {
    DcObject* d = detail::lookupDc(dc);
    if (!d || mode != MM_TEXT) return 0;
    const int previous = d->mapMode;
    d->mapMode = mode;
    return previous;
}

int GetMapMode(HDC dc) {
    const DcObject* d = detail::lookupDc(dc);
    return d ? d->mapMode : 0;
}

std::size_t LiveObjectCount() { return table().liveObjects(); }

namespace detail {

void rebuildClip(DcObject& dc) {
    if (!dc.clip && !dc.windowClip) {
        dc.clipSpans = ClipSpans();
        return;
    }
    QRegion effective = dc.clip ? *dc.clip : *dc.windowClip;
    if (dc.clip && dc.windowClip) effective &= *dc.windowClip;
    // Only the part where a bitmap can be matters; this bounds the row table of a huge region.
    constexpr int kReach = kMaxBitmapSide + 1;
    dc.clipSpans = ClipSpans(effective.intersected(QRect(0, 0, kReach, kReach)));
}

}  // namespace detail

}  // namespace corvane::gdi
