#pragma once
// How a context's pen marks pixels: width, dash pattern and gap colour (see pen_brush.h).
// Internal to the drawing service; shared by Polyline, Rectangle outlines and Arc.

#include <cstdint>
#include <span>

#include "platform/gdi/objects.h"
#include "platform/gdi/surface.h"

namespace corvane::gdi::detail {

class PenStroke {
public:
    PenStroke(const DcObject& dc, const PenObject& pen, Surface& surface);

    bool visible() const { return !null_; }
    int width() const { return width_; }
    bool dashed() const { return !pattern_.empty(); }
    std::uint32_t pixel() const { return pixel_; }

    // Marks the pixel of stroke position `position` (counted from the start of the call).
    void mark(long long x, long long y, long long position);

private:
    Surface* surface_;
    bool null_ = false;
    int width_ = 1;
    std::span<const int> pattern_;
    int period_ = 0;
    bool opaqueGaps_ = false;
    std::uint32_t pixel_ = 0;
    std::uint32_t gapPixel_ = 0;
};

}  // namespace corvane::gdi::detail
