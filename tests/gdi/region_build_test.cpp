// Regions built rectangle by rectangle (the way a picture's background scan builds them): every
// order, in bands or not, gives the union, and the region's kind is that of the union.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "platform/gdi/dc.h"
#include "platform/gdi/region.h"

namespace corvane::gdi {
namespace {

using PixelSet = std::set<std::pair<int, int>>;

// The kind a set of pixels has: none, exactly its bounding box, or anything else.
int KindOf(const PixelSet& pixels) {
    if (pixels.empty()) return NULLREGION;
    int l = INT32_MAX, t = INT32_MAX, r = INT32_MIN, b = INT32_MIN;
    for (const auto& [x, y] : pixels) {
        l = std::min(l, x), t = std::min(t, y), r = std::max(r, x), b = std::max(b, y);
    }
    const long long box = static_cast<long long>(r - l + 1) * (b - t + 1);
    return box == static_cast<long long>(pixels.size()) ? SIMPLEREGION : COMPLEXREGION;
}

// Adds rects one by one with CombineRgn(all, all, part, RGN_OR), checking the kind after each and
// the pixels at the end.
void BuildAndCheck(const std::vector<RECT>& rects, const char* what) {
    const HRGN all = CreateRectRgn(0, 0, 0, 0);
    PixelSet expected;
    for (std::size_t i = 0; i < rects.size(); ++i) {
        const RECT& r = rects[i];
        const HRGN part = CreateRectRgn(r.left, r.top, r.right, r.bottom);
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x) expected.insert({x, y});
        ASSERT_EQ(CombineRgn(all, all, part, RGN_OR), KindOf(expected)) << what << " after " << i;
        ASSERT_EQ(DeleteObject(part), TRUE);
    }
    for (int y = -1; y < 42; ++y)
        for (int x = -1; x < 42; ++x)
            ASSERT_EQ(PtInRegion(all, x, y) != 0, expected.count({x, y}) == 1) << what << " at " << x << "," << y;
    RECT box;
    EXPECT_EQ(GetRgnBox(all, &box), KindOf(expected)) << what;
    // The same region made in one go compares equal.
    const HRGN again = CreateRectRgn(0, 0, 0, 0);
    for (const RECT& r : rects) {
        const HRGN part = CreateRectRgn(r.left, r.top, r.right, r.bottom);
        const HRGN sum = CreateRectRgn(0, 0, 0, 0);
        CombineRgn(sum, again, part, RGN_OR);  // not in place: the general path
        CombineRgn(again, sum, nullptr, RGN_COPY);
        DeleteObject(part);
        DeleteObject(sum);
    }
    EXPECT_TRUE(EqualRgn(all, again)) << what;
    DeleteObject(again);
    DeleteObject(all);
}

TEST(GdiRegionBuild, RectangleByRectangleGivesTheUnionAndItsKind) {
    // Runs of a background scan: row by row, left to right, some touching.
    std::vector<RECT> scan;
    for (int y = 0; y < 12; ++y)
        for (int x = y % 3; x < 40; x += 6 + y % 2) scan.push_back({x, y, x + 4 + (y % 3 == 1 ? 2 : 0), y + 1});
    BuildAndCheck(scan, "scan");
    // A column of equal rows, then one that differs: one rectangle, then two.
    BuildAndCheck({{2, 0, 9, 1}, {2, 1, 9, 2}, {2, 2, 9, 3}, {2, 4, 9, 5}}, "column with a gap");
    BuildAndCheck({{2, 0, 9, 1}, {2, 1, 9, 2}, {2, 2, 8, 3}}, "column that narrows");
    // Two pieces in the second row that join into the first row's width: one rectangle again.
    BuildAndCheck({{0, 0, 4, 1}, {0, 1, 2, 2}, {2, 1, 4, 2}}, "row completed");
    // Two rows each of two runs that touch: the same again with wider bands.
    BuildAndCheck({{0, 0, 2, 3}, {2, 0, 5, 3}, {0, 3, 5, 4}}, "touching runs");
    // Out of order, overlapping, inside, empty.
    BuildAndCheck({{5, 5, 9, 9}, {0, 0, 3, 3}, {6, 6, 8, 8}, {4, 4, 4, 9}, {8, 2, 12, 7}}, "out of order");
    // Random rectangles, sorted by rows (mostly appended) and not.
    std::mt19937 rng(23);
    std::uniform_int_distribution<int> coord(0, 30), size(0, 6);
    for (int n = 0; n < 40; ++n) {
        std::vector<RECT> rects(1 + n % 12);
        for (RECT& r : rects) {
            const int x = coord(rng), y = coord(rng);
            r = {x, y, x + size(rng), y + 1 + size(rng) % 2};
        }
        BuildAndCheck(rects, "random");
        std::sort(rects.begin(), rects.end(),
                  [](const RECT& a, const RECT& b) { return std::pair(a.top, a.left) < std::pair(b.top, b.left); });
        BuildAndCheck(rects, "random sorted");
    }
}

TEST(GdiRegionBuild, ABuiltRegionWorksInEveryOperation) {
    const HRGN all = CreateRectRgn(0, 0, 0, 0);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 20; x += 5) {
            const HRGN part = CreateRectRgn(x, y, x + 3, y + 1);
            CombineRgn(all, all, part, RGN_OR);
            DeleteObject(part);
        }
    // Moved, clipped against, framed, turned into a QRegion: each sees the same pixels.
    EXPECT_EQ(OffsetRgn(all, 1, 2), COMPLEXREGION);
    RECT box;
    EXPECT_EQ(GetRgnBox(all, &box), COMPLEXREGION);
    EXPECT_EQ(box, (RECT{1, 2, 19, 8}));
    const QRegion q = RegionToQRegion(all);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 22; ++x) {
            const bool in = y >= 2 && y < 8 && x >= 1 && (x - 1) % 5 < 3 && x < 20;
            EXPECT_EQ(PtInRegion(all, x, y) != 0, in) << x << "," << y;
            EXPECT_EQ(q.contains(QPoint(x, y)), in) << x << "," << y;
        }
    EXPECT_EQ(q.rectCount(), 4);  // equal rows merged into one band
    DeleteObject(all);
}

}  // namespace
}  // namespace corvane::gdi
