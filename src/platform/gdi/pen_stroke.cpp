#include "platform/gdi/pen_stroke.h"

#include <cmath>

namespace corvane::gdi::detail {

namespace {

constexpr int kDash[] = {18, 6};
constexpr int kDot[] = {3, 3};
constexpr int kDashDot[] = {9, 6, 3, 6};
constexpr int kDashDotDot[] = {9, 3, 3, 3, 3, 3};

// The largest s with s * s <= n (n >= 0).
long long SquareRootFloor(long long n) {
    auto s = static_cast<long long>(std::sqrt(static_cast<double>(n)));
    while (s * s > n) --s;
    while ((s + 1) * (s + 1) <= n) ++s;
    return s;
}

long long FloorHalf(long long v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }

std::span<const int> patternOf(UINT style) {
    switch (style) {
        case PS_DASH:
            return kDash;
        case PS_DOT:
            return kDot;
        case PS_DASHDOT:
            return kDashDot;
        case PS_DASHDOTDOT:
            return kDashDotDot;
        default:
            return {};
    }
}

}  // namespace

PenStroke::PenStroke(const DcObject& dc, const PenObject& pen, Surface& surface) : surface_(&surface) {
    const UINT style = pen.pen.lopnStyle;
    null_ = style == PS_NULL;
    insideFrame_ = style == PS_INSIDEFRAME;
    width_ = pen.pen.lopnWidth.x <= 1 ? 1 : std::min(pen.pen.lopnWidth.x, kMaxWidth);
    if (width_ == 1) pattern_ = patternOf(style);
    if (width_ > 1 && !null_) {
        // Pixel (x + dx, y + dy) is in the tip when (2 dx + o)^2 + (2 dy + o)^2 <= width^2, o being 0 for
        // odd widths (centre on the pixel's centre) and 1 for even ones (centre on its top-left corner).
        const long long w = width_;
        const long long o = w % 2 == 0 ? 1 : 0;
        const long long dyLow = -FloorHalf(w + o), dyHigh = FloorHalf(w - o);
        tipTop_ = static_cast<int>(dyLow);
        for (long long dy = dyLow; dy <= dyHigh; ++dy) {
            const long long across = 2 * dy + o;
            const long long reach = SquareRootFloor(w * w - across * across);
            // 2 dx + o in [-reach, reach]
            const long long dx0 = -FloorHalf(reach + o);
            const long long dx1 = FloorHalf(reach - o) + 1;
            tip_.push_back({static_cast<int>(dx0), static_cast<int>(dx1)});
        }
    }
    for (int part : pattern_) period_ += part;
    opaqueGaps_ = dc.bkMode == OPAQUE;
    pixel_ = surface.pixelOf(pen.pen.lopnColor);
    gapPixel_ = surface.pixelOf(dc.bkColor);
}

void PenStroke::mark(long long x, long long y, long long position) {
    if (null_) return;
    std::uint32_t value = pixel_;
    if (!pattern_.empty()) {
        long long at = position % period_;
        bool on = true;
        for (int part : pattern_) {
            if (at < part) break;
            at -= part;
            on = !on;
        }
        if (!on) {
            if (!opaqueGaps_) return;
            value = gapPixel_;
        }
    }
    if (width_ == 1) {
        surface_->plot(x, y, value);
        return;
    }
    // Only the tip's rows that fall on the surface.
    const long long first = std::max<long long>(0, -(y + tipTop_));
    const long long last = std::min<long long>(static_cast<long long>(tip_.size()), surface_->height() - (y + tipTop_));
    for (long long i = first; i < last; ++i) {
        const TipRow& row = tip_[static_cast<std::size_t>(i)];
        const long long yy = y + tipTop_ + i;
        surface_->spans(yy, x + row.dx0, x + row.dx1,
                        [&](int r, int a, int b) { std::fill(surface_->row(r) + a, surface_->row(r) + b, value); });
    }
}

}  // namespace corvane::gdi::detail
