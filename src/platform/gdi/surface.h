#pragma once
// The pixels a device context draws on: its selected bitmap, limited to the bitmap's bounds and
// the context's clip region. Internal to the drawing service; every painter writes through it.

#include <algorithm>
#include <cstdint>
#include <optional>

#include "platform/gdi/clip_spans.h"
#include "platform/gdi/objects.h"

namespace corvane::gdi::detail {

class Surface {
public:
    Surface(BitmapObject& bitmap, const ClipSpans& clip)
        : rows_(bitmap.view.rows),
          stride_(bitmap.view.stride),
          width_(bitmap.view.width),
          height_(bitmap.view.height),
          mono_(bitmap.monochrome),
          clip_(&clip) {}

    int width() const { return width_; }
    int height() const { return height_; }
    bool monochrome() const { return mono_; }
    bool clipped() const { return clip_->active(); }
    std::uint32_t pixelOf(COLORREF c) const { return pixelFromColor(c, mono_); }

    std::uint32_t* row(int y) { return rows_ + static_cast<std::ptrdiff_t>(y) * stride_; }

    // Calls f(x0, x1) for each visible run of row y within [x0, x1).
    template <class F>
    void spans(long long y, long long x0, long long x1, F&& f) {
        if (y < 0 || y >= height_) return;
        const int a = static_cast<int>(std::max<long long>(x0, 0));
        const int b = static_cast<int>(std::min<long long>(x1, width_));
        if (a >= b) return;
        if (!clip_->active()) {
            f(static_cast<int>(y), a, b);
            return;
        }
        for (const Span& s : clip_->row(static_cast<int>(y))) {
            if (s.x1 <= a) continue;
            if (s.x0 >= b) break;
            f(static_cast<int>(y), std::max(a, s.x0), std::min(b, s.x1));
        }
    }

    bool visible(long long x, long long y) const {
        if (x < 0 || y < 0 || x >= width_ || y >= height_) return false;
        return !clip_->active() || clip_->contains(static_cast<int>(x), static_cast<int>(y));
    }

    void plot(long long x, long long y, std::uint32_t pixel) {
        if (visible(x, y)) row(static_cast<int>(y))[x] = pixel;
    }

    // Fills the rectangle [x0, x1) x [y0, y1) with one pixel value.
    void fill(long long x0, long long y0, long long x1, long long y1, std::uint32_t pixel);
    // Inverts the colour bits of the visible pixels of the rectangle.
    void invert(long long x0, long long y0, long long x1, long long y1);

private:
    // fill() through the clip region, kept out of line so the unclipped fill stays short.
    [[gnu::noinline]] void fillClipped(int left, int top, int right, int bottom, std::uint32_t pixel);

    std::uint32_t* rows_;
    std::ptrdiff_t stride_;  // in pixels
    int width_;
    int height_;
    bool mono_;
    const ClipSpans* clip_;
};

// Takes the bitmap's view of its pixels (it must have some).
void takeView(BitmapObject& bitmap);

// The surface of a context, or nothing for the screen context or a missing bitmap. `drawing`: the
// caller is about to draw (a window context says so to its window); false for reading only.
inline std::optional<Surface> surfaceOf(DcObject& dc, bool drawing = true) {
    if (dc.screen) return std::nullopt;
    BitmapObject* bitmap = selectedBitmap(dc);
    if (!bitmap) return std::nullopt;
    if (!bitmap->view.rows) {
        if (bitmap->pixels.isNull()) return std::nullopt;
        takeView(*bitmap);
    }
    if (drawing && dc.surfaceTaken) dc.surfaceTaken();
    return Surface(*bitmap, dc.clipSpans);
}

}  // namespace corvane::gdi::detail
