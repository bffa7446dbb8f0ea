#include "platform/gdi/window_dc.h"

#include <algorithm>
#include <cstring>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/objects.h"

namespace corvane::gdi {

using detail::BitmapObject;
using detail::DcObject;
using detail::Slot;
using detail::table;

namespace {

QImage SurfacePixels(int width, int height, COLORREF background) {
    if (!detail::acceptableBitmapSize(width, height)) return {};
    QImage pixels(width, height, QImage::Format_RGB32);
    pixels.fill(detail::pixelFromColor(background, false));
    return pixels;
}

DcObject* WindowDc(HDC dc) {
    DcObject* d = detail::lookupDc(dc);
    return d && d->window ? d : nullptr;
}

void Hold(std::uint32_t value, int change) {
    Slot* s = table().slot(value);
    if (s && s->selections + change >= 0) s->selections += change;
}

}  // namespace

HDC MakeWindowContext(int width, int height, COLORREF background, std::function<void()> surfaceTaken) {
    BitmapObject surface;
    surface.pixels = SurfacePixels(width, height, background);
    const HBITMAP bitmap(table().add(std::move(surface)));
    if (!bitmap) return nullptr;
    const auto& stock = table().stock();
    DcObject made;
    made.window = true;
    made.bitmap = bitmap;
    made.pen = stock.blackPen;
    made.brush = stock.brushes[WHITE_BRUSH];
    made.font = stock.systemFont;
    made.palette = stock.defaultPalette;
    made.surfaceTaken = std::move(surfaceTaken);
    const HDC handle(table().add(std::move(made)));
    if (!handle) {
        table().remove(bitmap.value);
        return nullptr;
    }
    for (std::uint32_t held :
         {bitmap.value, stock.blackPen.value, stock.brushes[WHITE_BRUSH].value, stock.systemFont.value})
        Hold(held, 1);
    return handle;
}

BOOL ResizeWindowContext(HDC dc, int width, int height, COLORREF background) {
    DcObject* d = WindowDc(dc);
    BitmapObject* bitmap = d ? detail::lookupBitmap(d->bitmap) : nullptr;
    if (!bitmap) return FALSE;
    if (bitmap->pixels.width() == width && bitmap->pixels.height() == height) return TRUE;
    QImage resized = SurfacePixels(width, height, background);
    if (!resized.isNull() && !bitmap->pixels.isNull()) {
        const int rows = std::min(height, bitmap->pixels.height());
        const auto bytes = static_cast<std::size_t>(std::min(width, bitmap->pixels.width())) * 4;
        for (int y = 0; y < rows; ++y) std::memcpy(resized.scanLine(y), bitmap->pixels.constScanLine(y), bytes);
    }
    bitmap->pixels = std::move(resized);
    return TRUE;
}

BOOL SetWindowContextRegion(HDC dc, const QRegion* region) {
    DcObject* d = WindowDc(dc);
    if (!d) return FALSE;
    if (region)
        d->windowClip = *region;
    else
        d->windowClip.reset();
    detail::rebuildClip(*d);
    return TRUE;
}

QImage WindowContextImage(HDC dc) {
    DcObject* d = WindowDc(dc);
    BitmapObject* bitmap = d ? detail::lookupBitmap(d->bitmap) : nullptr;
    return bitmap ? bitmap->pixels : QImage();
}

BOOL EndWindowContext(HDC dc) {
    DcObject* d = WindowDc(dc);
    if (!d) return FALSE;
    const HBITMAP bitmap = d->bitmap;
    for (std::uint32_t held : {d->bitmap.value, d->pen.value, d->brush.value, d->font.value}) Hold(held, -1);
    table().remove(dc.value);
    table().remove(bitmap.value);
    return TRUE;
}

}  // namespace corvane::gdi
