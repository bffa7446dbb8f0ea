#include "platform/gdi/pen_stroke.h"

namespace corvane::gdi::detail {

namespace {

constexpr int kDash[] = {18, 6};
constexpr int kDot[] = {3, 3};
constexpr int kDashDot[] = {9, 6, 3, 6};
constexpr int kDashDotDot[] = {9, 3, 3, 3, 3, 3};

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
    width_ = pen.pen.lopnWidth.x <= 1 ? 1 : pen.pen.lopnWidth.x;
    if (width_ == 1) pattern_ = patternOf(style);
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
    // A wide pen stamps a width x width square whose top-left is width / 2 up and left of the pixel.
    const long long x0 = x - width_ / 2;
    const long long y0 = y - width_ / 2;
    surface_->fill(x0, y0, x0 + width_, y0 + width_, value);
}

}  // namespace corvane::gdi::detail
