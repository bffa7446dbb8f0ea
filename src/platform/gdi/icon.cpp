#include "platform/gdi/icon.h"

#include <QImageReader>

#include <algorithm>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/surface.h"

namespace corvane::gdi {

using detail::IconObject;

namespace {

IconObject* find(HICON h) { return detail::lookup<ObjectKind::icon, IconObject>(h); }

const QImage* largest(const IconObject& icon) {
    const QImage* best = nullptr;
    for (const QImage& image : icon.images)
        if (!best || static_cast<long long>(image.width()) * image.height() >
                         static_cast<long long>(best->width()) * best->height())
            best = &image;
    return best;
}

const QImage* choose(const IconObject& icon, int cx, int cy) {
    for (const QImage& image : icon.images)
        if (image.width() == cx && image.height() == cy) return &image;
    return largest(icon);
}

bool usable(const QImage& image) {
    return !image.isNull() && detail::acceptableBitmapSize(image.width(), image.height());
}

}  // namespace

HICON CreateIconFromImage(const QImage& image) {
    if (!usable(image)) return nullptr;
    IconObject icon;
    icon.images.push_back(image.convertToFormat(QImage::Format_ARGB32));
    return HICON(detail::table().add(std::move(icon)));
}

HICON LoadIconFile(const QString& path) {
    QImageReader reader(path);
    IconObject icon;
    const int count = std::max(1, reader.imageCount());
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !reader.jumpToImage(i)) break;
        const QImage image = reader.read();
        if (usable(image)) icon.images.push_back(image.convertToFormat(QImage::Format_ARGB32));
    }
    if (icon.images.empty()) return nullptr;
    return HICON(detail::table().add(std::move(icon)));
}

BOOL DestroyIcon(HICON icon) {
    if (!find(icon)) return FALSE;
    return detail::table().remove(icon.value) ? TRUE : FALSE;
}

BOOL GetIconInfo(HICON icon, ICONINFO* info) {
    IconObject* i = find(icon);
    if (!i || !info) return FALSE;
    const QImage* image = largest(*i);
    QImage colour = image->convertToFormat(QImage::Format_RGB32);
    QImage mask(image->width(), image->height(), QImage::Format_RGB32);
    if (colour.isNull() || mask.isNull()) return FALSE;
    for (int y = 0; y < image->height(); ++y) {
        const auto* src = reinterpret_cast<const std::uint32_t*>(image->constScanLine(y));
        auto* m = reinterpret_cast<std::uint32_t*>(mask.scanLine(y));
        auto* c = reinterpret_cast<std::uint32_t*>(colour.scanLine(y));
        for (int x = 0; x < image->width(); ++x) {
            m[x] = (src[x] >> 24) == 0 ? 0xFFFFFFFFu : 0xFF000000u;
            c[x] = src[x] | 0xFF000000u;
        }
    }
    const HBITMAP colourHandle(detail::table().add(detail::BitmapObject{std::move(colour), false, false, {}}));
    const HBITMAP maskHandle(detail::table().add(detail::BitmapObject{std::move(mask), true, false, {}}));
    if (!colourHandle || !maskHandle) {
        if (colourHandle) detail::table().remove(colourHandle.value);
        if (maskHandle) detail::table().remove(maskHandle.value);
        return FALSE;
    }
    *info = ICONINFO{TRUE, static_cast<DWORD>(image->width() / 2), static_cast<DWORD>(image->height() / 2), maskHandle,
                     colourHandle};
    return TRUE;
}

BOOL DrawIconEx(HDC dc, int x, int y, HICON icon, int cx, int cy, UINT /*step*/, HBRUSH /*flickerFreeBrush*/,
                UINT flags) {
    detail::DcObject* d = detail::lookupDc(dc);
    IconObject* i = find(icon);
    if (!d || !i || cx < 0 || cy < 0 || (flags & DI_NORMAL) == 0) return FALSE;
    auto surface = detail::surfaceOf(*d);
    if (!surface) return FALSE;
    const QImage* image = choose(*i, cx, cy);
    const int w = cx == 0 ? image->width() : cx;
    const int h = cy == 0 ? image->height() : cy;
    const bool mono = surface->monochrome();
    // Only the part of the icon over the bitmap is visited.
    const int firstRow = static_cast<int>(std::clamp<long long>(-static_cast<long long>(y), 0, h));
    const int lastRow = static_cast<int>(std::clamp<long long>(static_cast<long long>(surface->height()) - y, 0, h));
    const int firstCol = static_cast<int>(std::clamp<long long>(-static_cast<long long>(x), 0, w));
    const int lastCol = static_cast<int>(std::clamp<long long>(static_cast<long long>(surface->width()) - x, 0, w));
    for (int row = firstRow; row < lastRow; ++row) {
        const long long ty = static_cast<long long>(y) + row;
        const auto* src = reinterpret_cast<const std::uint32_t*>(
            image->constScanLine(detail::nearestSource(row, image->height(), h)));
        for (int col = firstCol; col < lastCol; ++col) {
            const long long tx = static_cast<long long>(x) + col;
            if (!surface->visible(tx, ty)) continue;
            const std::uint32_t s = src[detail::nearestSource(col, image->width(), w)];
            const unsigned a = s >> 24;
            std::uint32_t& out = surface->row(static_cast<int>(ty))[tx];
            if ((flags & DI_NORMAL) == DI_MASK) {
                if (a > 0) out = 0xFF000000u;
                continue;
            }
            const std::uint32_t colour = s | 0xFF000000u;
            if ((flags & DI_NORMAL) == DI_IMAGE || a == 255) {
                out = mono ? surface->pixelOf(detail::colorFromPixel(colour)) : colour;
                continue;
            }
            if (mono) {
                if (a >= 128) out = surface->pixelOf(detail::colorFromPixel(colour));
                continue;
            }
            std::uint32_t blended = 0xFF000000u;
            for (int shift = 0; shift <= 16; shift += 8) {
                const unsigned sc = (s >> shift) & 0xFF, dc2 = (out >> shift) & 0xFF;
                blended |= ((sc * a + dc2 * (255 - a) + 127) / 255) << shift;
            }
            out = blended;
        }
    }
    return TRUE;
}

}  // namespace corvane::gdi
