#pragma once
// How a context's pen marks pixels: width, dash pattern and gap colour (see pen_brush.h).
// Internal to the drawing service; shared by Polyline, Rectangle outlines and Arc.

#include <cstdint>
#include <span>
#include <vector>

#include "platform/gdi/objects.h"
#include "platform/gdi/surface.h"

namespace corvane::gdi::detail {

class PenStroke {
public:
    PenStroke(const DcObject& dc, const PenObject& pen, Surface& surface);

    // Pens wider than this draw as this wide (far more than any bitmap side).
    static constexpr int kMaxWidth = 1 << 16;

    bool visible() const { return !null_; }
    int width() const { return width_; }
    bool dashed() const { return !pattern_.empty(); }
    bool insideFrame() const { return insideFrame_; }
    std::uint32_t pixel() const { return pixel_; }

    // Marks the pixel of stroke position `position` (counted from the start of the call). A wide pen
    // marks the round pen tip centred there: the pixels whose centres lie within width / 2 of the
    // pixel's centre (odd widths) or of its top-left corner (even widths), so that the tip is exactly
    // `width` pixels across.
    void mark(long long x, long long y, long long position);

private:
    struct TipRow {
        int dx0;  // first pixel, relative to the marked one
        int dx1;  // one past the last
    };

    Surface* surface_;
    bool null_ = false;
    bool insideFrame_ = false;
    int width_ = 1;
    int tipTop_ = 0;           // dy of tip_[0]
    std::vector<TipRow> tip_;  // wide pens: the tip's rows, top to bottom
    std::span<const int> pattern_;
    int period_ = 0;
    bool opaqueGaps_ = false;
    std::uint32_t pixel_ = 0;
    std::uint32_t gapPixel_ = 0;
};

}  // namespace corvane::gdi::detail
