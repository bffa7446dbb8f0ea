#include "platform/gdi/surface.h"

namespace corvane::gdi::detail {

namespace {

// The fill every painter ends in; with wider stores where the processor has them.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void FillPixels(std::uint32_t* p, int count, std::uint32_t pixel) {
    for (int i = 0; i < count; ++i) p[i] = pixel;
}

}  // namespace

void Surface::fill(long long x0, long long y0, long long x1, long long y1, std::uint32_t pixel) {
    const int top = static_cast<int>(std::max<long long>(y0, 0));
    const int bottom = static_cast<int>(std::min<long long>(y1, height_));
    const int left = static_cast<int>(std::max<long long>(x0, 0));
    const int right = static_cast<int>(std::min<long long>(x1, width_));
    if (top >= bottom || left >= right) return;
    if (clip_->active()) [[unlikely]] {
        fillClipped(left, top, right, bottom, pixel);
        return;
    }
    for (int y = top; y < bottom; ++y) FillPixels(row(y) + left, right - left, pixel);
}

void Surface::fillClipped(int left, int top, int right, int bottom, std::uint32_t pixel) {
    for (int y = top; y < bottom; ++y)
        spans(y, left, right, [&](int yy, int a, int b) { FillPixels(row(yy) + a, b - a, pixel); });
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

void takeView(BitmapObject& bitmap) {
    bitmap.view.rows = reinterpret_cast<std::uint32_t*>(bitmap.pixels.bits());
    bitmap.view.stride = bitmap.pixels.bytesPerLine() / 4;
    bitmap.view.width = bitmap.pixels.width();
    bitmap.view.height = bitmap.pixels.height();
}

}  // namespace corvane::gdi::detail
