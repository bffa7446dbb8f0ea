#include "platform/gdi/bitmap.h"

#include <array>
#include <cstring>
#include <utility>

#include "platform/gdi/objects.h"

namespace corvane::gdi {

using detail::BitmapObject;

namespace detail {

bool acceptableBitmapSize(long long width, long long height) {
    return width > 0 && height > 0 && width <= kMaxBitmapSide && height <= kMaxBitmapSide &&
           width * height <= kMaxBitmapPixels;
}

int nearestSource(long long i, long long sourceCount, long long targetCount) {
    return static_cast<int>(static_cast<__int128>(2 * i + 1) * sourceCount / (2 * targetCount));
}

}  // namespace detail

namespace {

HBITMAP store(QImage pixels, bool monochrome, bool fromPicture) {
    if (pixels.isNull()) return nullptr;
    return HBITMAP(detail::table().add(BitmapObject{std::move(pixels), monochrome, fromPicture, {}}));
}

// Pixels of deleted bitmaps, kept for new ones of the same size: the temporary bitmaps of a
// repaint are made and deleted with the same sizes every time.
constexpr std::size_t kKeptPixelImages = 8;
constexpr qsizetype kMaxKeptImageBytes = 256 * 1024;

struct KeptPixels {
    std::array<QImage, kKeptPixelImages> images;
    std::size_t next = 0;  // the one replaced when all are taken
};

KeptPixels& keptPixels() {
    thread_local KeptPixels kept;
    return kept;
}

QImage blank(int width, int height) {
    for (QImage& kept : keptPixels().images)
        if (!kept.isNull() && kept.width() == width && kept.height() == height) {
            QImage image = std::move(kept);
            kept = QImage();
            image.fill(0xFF000000u);
            return image;
        }
    QImage image(width, height, QImage::Format_RGB32);
    if (!image.isNull()) image.fill(0xFF000000u);
    return image;
}

}  // namespace

void detail::recyclePixels(QImage&& pixels) {
    if (pixels.isNull() || !pixels.isDetached() || pixels.format() != QImage::Format_RGB32 ||
        pixels.sizeInBytes() > kMaxKeptImageBytes)
        return;
    KeptPixels& kept = keptPixels();
    kept.images[kept.next] = std::move(pixels);
    kept.next = (kept.next + 1) % kKeptPixelImages;
}

HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height) {
    detail::DcObject* d = detail::lookupDc(dc);
    if (!d || !detail::acceptableBitmapSize(width, height)) return nullptr;
    bool monochrome = false;
    if (!d->screen) {
        const BitmapObject* selected = detail::lookupBitmap(d->bitmap);
        monochrome = selected && selected->monochrome;
    }
    return store(blank(width, height), monochrome, false);
}

HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitsPerPixel, const void* bits) {
    if (planes != 1 || (bitsPerPixel != 1 && bitsPerPixel != 32)) return nullptr;
    if (!detail::acceptableBitmapSize(width, height)) return nullptr;
    QImage image = blank(width, height);
    if (image.isNull()) return nullptr;
    if (bits) {
        const auto* bytes = static_cast<const unsigned char*>(bits);
        if (bitsPerPixel == 1) {
            const int rowBytes = ((width + 15) / 16) * 2;
            for (int y = 0; y < height; ++y) {
                auto* row = reinterpret_cast<std::uint32_t*>(image.scanLine(y));
                const unsigned char* src = bytes + static_cast<std::ptrdiff_t>(y) * rowBytes;
                for (int x = 0; x < width; ++x) row[x] = (src[x / 8] & (0x80 >> (x % 8))) ? 0xFFFFFFFFu : 0xFF000000u;
            }
        } else {
            for (int y = 0; y < height; ++y) {
                auto* row = reinterpret_cast<std::uint32_t*>(image.scanLine(y));
                std::memcpy(row, bytes + static_cast<std::ptrdiff_t>(y) * width * 4,
                            static_cast<std::size_t>(width) * 4);
                for (int x = 0; x < width; ++x) row[x] |= 0xFF000000u;
            }
        }
    }
    return store(std::move(image), bitsPerPixel == 1, false);
}

HBITMAP CopyImage(HBITMAP bitmap, UINT type, int cx, int cy, UINT /*flags*/) {
    const BitmapObject* source = detail::lookupBitmap(bitmap);
    if (!source || type != IMAGE_BITMAP || cx < 0 || cy < 0) return nullptr;
    const int sw = source->pixels.width();
    const int sh = source->pixels.height();
    const int width = cx == 0 ? sw : cx;
    const int height = cy == 0 ? sh : cy;
    if (!detail::acceptableBitmapSize(width, height)) return nullptr;
    QImage scaled = blank(width, height);
    if (scaled.isNull()) return nullptr;
    for (int y = 0; y < height; ++y) {
        const auto* src =
            reinterpret_cast<const std::uint32_t*>(source->pixels.constScanLine(detail::nearestSource(y, sh, height)));
        auto* dst = reinterpret_cast<std::uint32_t*>(scaled.scanLine(y));
        for (int x = 0; x < width; ++x) dst[x] = src[detail::nearestSource(x, sw, width)];
    }
    return store(std::move(scaled), source->monochrome, false);
}

QImage BitmapImage(HBITMAP bitmap) {
    const BitmapObject* b = detail::lookupBitmap(bitmap);
    return b ? b->pixels.copy() : QImage();
}

HBITMAP CreateBitmapFromImage(const QImage& image) {
    if (image.isNull() || !detail::acceptableBitmapSize(image.width(), image.height())) return nullptr;
    QImage pixels = image.convertToFormat(QImage::Format_RGB32);
    if (pixels.constBits() == image.constBits()) pixels = pixels.copy();  // not shared with the caller
    return store(std::move(pixels), false, true);
}

}  // namespace corvane::gdi
