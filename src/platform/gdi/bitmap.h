#pragma once
// Bitmaps: colour bitmaps (32 bits per pixel) and monochrome bitmaps (1 bit per pixel: black or
// white). A bitmap is refused (null handle) when a side is 0, negative or above 32767, or when it
// would hold more than kMaxBitmapPixels pixels, so a 16384 x 16384 request fails at once instead
// of exhausting memory. New bitmaps are black.

#include <QImage>

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

inline constexpr long long kMaxBitmapPixels = 1LL << 26;  // 256 MiB of 32-bit pixels
inline constexpr int kMaxBitmapSide = 32767;

// A bitmap in the format of the bitmap selected into dc: monochrome when dc is a memory context
// still holding a monochrome bitmap (as a new memory context does), colour for the screen context
// and for contexts holding a colour bitmap.
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);

// planes must be 1; bitsPerPixel 1 (rows padded to 16 bits, leftmost pixel in the top bit, a set
// bit is white) or 32 (each pixel a little-endian 0x00RRGGBB). bits may be null: all black.
HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitsPerPixel, const void* bits);

// A new bitmap scaled to cx by cy (0 keeps that side), same format. Each target pixel takes the
// source pixel under its centre: source x = floor((2 x + 1) * sourceWidth / (2 * cx)), likewise
// for y. type must be IMAGE_BITMAP; flags are not used.
HBITMAP CopyImage(HBITMAP bitmap, UINT type, int cx, int cy, UINT flags);

// A copy of the bitmap's pixels as a Format_RGB32 image; a null image for an invalid handle.
QImage BitmapImage(HBITMAP bitmap);

// A colour bitmap made from an image (alpha dropped). It reports a pixel-bits pointer in
// GetObjectA, as pictures loaded from files do.
HBITMAP CreateBitmapFromImage(const QImage& image);

namespace detail {
// Whether a bitmap of this size may be made.
bool acceptableBitmapSize(long long width, long long height);
// Nearest-pixel index map used by CopyImage and StretchBlt: target i takes source
// floor((2 i + 1) * sourceCount / (2 * targetCount)).
int nearestSource(long long i, long long sourceCount, long long targetCount);
// Keeps the pixels of a bitmap being deleted, so the next bitmap of the same size takes them instead
// of allocating (a few small bitmaps per thread; the pixels must be shared with no other image).
void recyclePixels(QImage&& pixels);
}  // namespace detail

}  // namespace corvane::gdi
