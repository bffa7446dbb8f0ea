#include "platform/gdi/region_raster.h"

#include <algorithm>
#include <cmath>

#include "platform/gdi/line_raster.h"

namespace corvane::gdi::detail {

RowSpans ellipseRows(long long left, long long top, long long right, long long bottom) {
    RowSpans out;
    if (left > right) std::swap(left, right);
    if (top > bottom) std::swap(top, bottom);
    const long long w = right - left;
    const long long h = bottom - top;
    out.top = top;
    if (w == 0 || h == 0) return out;
    out.rows.resize(static_cast<std::size_t>(h));
    using Wide = __int128;
    const Wide w2 = static_cast<Wide>(w) * w;
    const Wide h2 = static_cast<Wide>(h) * h;
    const Wide limit = w2 * h2;
    const auto inside = [&](long long X, long long Y) {
        return static_cast<Wide>(X) * X * h2 + static_cast<Wide>(Y) * Y * w2 <= limit;
    };
    for (long long i = 0; i < h; ++i) {
        const long long y = top + i;
        const long long Y = 2 * y + 1 - top - bottom;
        // Largest X = 2x + 1 - left - right inside on this row, found from an estimate and refined.
        const double frac = 1.0 - static_cast<double>(Y) * static_cast<double>(Y) / static_cast<double>(h2);
        long long xCentreOffset = frac > 0 ? static_cast<long long>(std::sqrt(frac) * static_cast<double>(w)) : 0;
        // X has the parity of (1 - left - right); step the estimate onto that parity.
        const long long parity = std::llabs(1 - left - right) % 2;
        if (std::llabs(xCentreOffset) % 2 != parity) ++xCentreOffset;
        while (xCentreOffset > 0 && !inside(xCentreOffset, Y)) xCentreOffset -= 2;
        while (inside(xCentreOffset + 2, Y)) xCentreOffset += 2;
        if (!inside(xCentreOffset, Y)) continue;
        // x = (X - 1 + left + right) / 2, symmetric about the centre line.
        const long long xLast = (xCentreOffset - 1 + left + right) / 2;
        const long long xFirst = (-xCentreOffset - 1 + left + right) / 2;
        out.rows[static_cast<std::size_t>(i)].push_back({static_cast<int>(xFirst), static_cast<int>(xLast + 1)});
    }
    return out;
}

RowSpans polygonRows(const POINT* points, int count, int fillMode) {
    RowSpans out;
    long long minY = points[0].y;
    long long maxY = points[0].y;
    for (int i = 1; i < count; ++i) {
        minY = std::min<long long>(minY, points[i].y);
        maxY = std::max<long long>(maxY, points[i].y);
    }
    out.top = minY;
    out.rows.resize(static_cast<std::size_t>(maxY - minY));
    struct Crossing {
        long long x;
        int direction;
    };
    std::vector<Crossing> crossings;
    for (long long y = minY; y < maxY; ++y) {
        crossings.clear();
        for (int i = 0; i < count; ++i) {
            const POINT& a = points[i];
            const POINT& b = points[(i + 1) % count];
            if (a.y == b.y) continue;
            // An edge crosses the rows from its upper end (included) to its lower end (excluded).
            if (y < std::min(a.y, b.y) || y >= std::max(a.y, b.y)) continue;
            // First pixel at or right of the crossing: ceil(X) with X = ax + (y - ay) (bx - ax) / (by - ay),
            // so a point on a left edge is in and a point on a right edge is out.
            long long den = static_cast<long long>(b.y) - a.y;
            long long num = static_cast<long long>(a.x) * den + (y - a.y) * (static_cast<long long>(b.x) - a.x);
            if (den < 0) {
                den = -den;
                num = -num;
            }
            crossings.push_back({ceilDiv(num, den), b.y > a.y ? 1 : -1});
        }
        std::sort(crossings.begin(), crossings.end(), [](const Crossing& l, const Crossing& r) { return l.x < r.x; });
        auto& row = out.rows[static_cast<std::size_t>(y - minY)];
        int winding = 0;
        for (std::size_t k = 0; k + 1 < crossings.size(); ++k) {
            winding += fillMode == ALTERNATE ? 1 : crossings[k].direction;
            const bool inside = fillMode == ALTERNATE ? (winding % 2) != 0 : winding != 0;
            const long long x0 = crossings[k].x;
            const long long x1 = crossings[k + 1].x;
            if (!inside || x0 >= x1) continue;
            if (!row.empty() && row.back().x1 >= x0)
                row.back().x1 = static_cast<int>(std::max<long long>(row.back().x1, x1));
            else
                row.push_back({static_cast<int>(x0), static_cast<int>(x1)});
        }
    }
    return out;
}

QRegion regionFromRows(const RowSpans& rows) {
    std::vector<QRect> rects;
    const std::size_t n = rows.rows.size();
    std::size_t i = 0;
    while (i < n) {
        const auto& spans = rows.rows[i];
        std::size_t j = i + 1;
        while (j < n && rows.rows[j].size() == spans.size() &&
               std::equal(spans.begin(), spans.end(), rows.rows[j].begin(),
                          [](const Span& a, const Span& b) { return a.x0 == b.x0 && a.x1 == b.x1; }))
            ++j;
        const int y = static_cast<int>(rows.top + static_cast<long long>(i));
        const int height = static_cast<int>(j - i);
        for (const Span& s : spans) rects.emplace_back(s.x0, y, s.x1 - s.x0, height);
        i = j;
    }
    QRegion region;
    if (!rects.empty()) region.setRects(rects.data(), static_cast<int>(rects.size()));
    return region;
}

}  // namespace corvane::gdi::detail
