#pragma once
// A region as horizontal pixel runs per row, for fast "is this pixel inside" tests and span
// clipping while drawing. Internal to the drawing service.

#include <QRegion>

#include <span>
#include <vector>

namespace corvane::gdi::detail {

struct Span {
    int x0 = 0;  // first pixel
    int x1 = 0;  // one past the last pixel
};

class ClipSpans {
public:
    ClipSpans() = default;  // inactive: no clipping
    explicit ClipSpans(const QRegion& region);

    bool active() const { return active_; }
    // The runs of row y, left to right; empty outside the region.
    std::span<const Span> row(int y) const;
    bool contains(int x, int y) const;

private:
    bool active_ = false;
    int top_ = 0;
    std::vector<int> rowStart_;  // rowStart_[y - top_] .. rowStart_[y - top_ + 1]
    std::vector<Span> spans_;
};

}  // namespace corvane::gdi::detail
