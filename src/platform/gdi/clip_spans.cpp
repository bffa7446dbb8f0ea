#include "platform/gdi/clip_spans.h"

#include <algorithm>

namespace corvane::gdi::detail {

ClipSpans::ClipSpans(const QRegion& region) : active_(true) {
    if (region.isEmpty()) return;
    const QRect box = region.boundingRect();
    top_ = box.top();
    const int rows = box.height();
    rowStart_.assign(static_cast<std::size_t>(rows) + 1, 0);
    // QRegion keeps its rectangles in bands sorted by y, then x, which is exactly row order.
    std::vector<std::vector<Span>> perRow(static_cast<std::size_t>(rows));
    for (const QRect& r : region) {
        for (int y = r.top(); y <= r.bottom(); ++y)
            perRow[static_cast<std::size_t>(y - top_)].push_back({r.left(), r.right() + 1});
    }
    for (int i = 0; i < rows; ++i) {
        auto& row = perRow[static_cast<std::size_t>(i)];
        std::sort(row.begin(), row.end(), [](const Span& a, const Span& b) { return a.x0 < b.x0; });
        spans_.insert(spans_.end(), row.begin(), row.end());
        rowStart_[static_cast<std::size_t>(i) + 1] = static_cast<int>(spans_.size());
    }
}

std::span<const Span> ClipSpans::row(int y) const {
    const long long index = static_cast<long long>(y) - top_;
    if (index < 0 || index + 1 >= static_cast<long long>(rowStart_.size())) return {};
    const auto begin = static_cast<std::size_t>(rowStart_[static_cast<std::size_t>(index)]);
    const auto end = static_cast<std::size_t>(rowStart_[static_cast<std::size_t>(index) + 1]);
    return std::span<const Span>(spans_.data() + begin, end - begin);
}

bool ClipSpans::contains(int x, int y) const {
    const auto runs = row(y);
    auto it = std::upper_bound(runs.begin(), runs.end(), x, [](int value, const Span& s) { return value < s.x0; });
    if (it == runs.begin()) return false;
    --it;
    return x < it->x1;
}

}  // namespace corvane::gdi::detail
