#include "platform/gdi/surface.h"

namespace corvane::gdi::detail {

Surface::Surface(BitmapObject& bitmap, const ClipSpans& clip)
    : rows_(reinterpret_cast<std::uint32_t*>(bitmap.pixels.bits())),
      stride_(bitmap.pixels.bytesPerLine() / 4),
      width_(bitmap.pixels.width()),
      height_(bitmap.pixels.height()),
      mono_(bitmap.monochrome),
      clip_(&clip) {}

void Surface::fill(long long x0, long long y0, long long x1, long long y1, std::uint32_t pixel) {
    const long long top = std::max<long long>(y0, 0);
    const long long bottom = std::min<long long>(y1, height_);
    for (long long y = top; y < bottom; ++y)
        spans(y, x0, x1, [&](int yy, int a, int b) { std::fill(row(yy) + a, row(yy) + b, pixel); });
}

void Surface::invert(long long x0, long long y0, long long x1, long long y1) {
    const long long top = std::max<long long>(y0, 0);
    const long long bottom = std::min<long long>(y1, height_);
    for (long long y = top; y < bottom; ++y)
        spans(y, x0, x1, [&](int yy, int a, int b) {
            std::uint32_t* p = row(yy);
            for (int x = a; x < b; ++x) p[x] ^= 0x00FFFFFFu;
        });
}

std::optional<Surface> surfaceOf(DcObject& dc) {
    if (dc.screen) return std::nullopt;
    BitmapObject* bitmap = lookupBitmap(dc.bitmap);
    if (!bitmap || bitmap->pixels.isNull()) return std::nullopt;
    if (dc.surfaceTaken) dc.surfaceTaken();
    return Surface(*bitmap, dc.clipSpans);
}

}  // namespace corvane::gdi::detail
