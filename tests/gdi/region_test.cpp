// Region shapes, algebra, frames and the window-region conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <set>
#include <vector>

#include "canvas_fixture.h"
#include "platform/gdi/region.h"

namespace corvane::gdi {
namespace {

// Runs `check(x, y)` over a grid around the region.
void forGrid(int x0, int y0, int x1, int y1, const std::function<void(int, int)>& check) {
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) check(x, y);
}

TEST(GdiRegion, CombineModesFollowSetAlgebra) {
    const HRGN a = CreateRectRgn(0, 0, 6, 4);
    const HRGN b = CreateRectRgn(3, 2, 9, 7);
    const HRGN out = CreateRectRgn(0, 0, 0, 0);
    const struct {
        int mode;
        bool (*rule)(bool, bool);
        int kind;
    } modes[] = {
        {RGN_AND, [](bool p, bool q) { return p && q; }, SIMPLEREGION},
        {RGN_OR, [](bool p, bool q) { return p || q; }, COMPLEXREGION},
        {RGN_XOR, [](bool p, bool q) { return p != q; }, COMPLEXREGION},
        {RGN_DIFF, [](bool p, bool q) { return p && !q; }, COMPLEXREGION},
        {RGN_COPY, [](bool p, bool) { return p; }, SIMPLEREGION},
    };
    for (const auto& m : modes) {
        EXPECT_EQ(CombineRgn(out, a, b, m.mode), m.kind) << m.mode;
        forGrid(-1, -1, 10, 8, [&](int x, int y) {
            EXPECT_EQ(PtInRegion(out, x, y) != 0, m.rule(PtInRegion(a, x, y), PtInRegion(b, x, y)))
                << m.mode << " " << x << "," << y;
        });
    }
    // The destination may be one of the sources.
    EXPECT_EQ(CombineRgn(a, a, b, RGN_DIFF), COMPLEXREGION);
    EXPECT_FALSE(PtInRegion(a, 4, 3));
    EXPECT_TRUE(PtInRegion(a, 4, 1));
    EXPECT_EQ(CombineRgn(out, a, a, RGN_DIFF), NULLREGION);
    EXPECT_EQ(CombineRgn(out, a, b, 9), ERROR);
    DeleteObject(b);
    EXPECT_EQ(CombineRgn(out, a, b, RGN_OR), ERROR);  // deleted source
    DeleteObject(a);
    DeleteObject(out);
}

TEST(GdiRegion, BoxOffsetAndKinds) {
    const HRGN r = CreateRectRgn(5, 9, 1, 2);  // corners in any order
    RECT box;
    EXPECT_EQ(GetRgnBox(r, &box), SIMPLEREGION);
    EXPECT_EQ(box, (RECT{1, 2, 5, 9}));
    EXPECT_EQ(OffsetRgn(r, -3, 10), SIMPLEREGION);
    GetRgnBox(r, &box);
    EXPECT_EQ(box, (RECT{-2, 12, 2, 19}));
    EXPECT_EQ(OffsetRgn(r, 0x7FFFFFFE, 0), ERROR);  // would leave the coordinate range
    const HRGN empty = CreateRectRgn(3, 3, 3, 8);
    EXPECT_EQ(GetRgnBox(empty, &box), NULLREGION);
    EXPECT_EQ(box, (RECT{0, 0, 0, 0}));
    DeleteObject(r);
    DeleteObject(empty);
    EXPECT_EQ(GetRgnBox(r, &box), ERROR);
}

// The polygon rule worked out on its own: pixel (x, y) belongs to the polygon when the point (x, y)
// does, with points on left and top edges inside and on right and bottom edges outside. That is the
// point moved right by a hair and down by far less, which then never lies on an edge: with every
// coordinate scaled by 10^6 it is (10^6 x + 1000, 10^6 y + 1), and no edge shorter than 1000 pixels
// in x passes through it. Its winding number, counted exactly, gives both fill modes.
bool PolygonHolds(const std::vector<POINT>& polygon, int x, int y, int fillMode) {
    constexpr long long kScale = 1000000;
    const long long px = kScale * x + 1000, py = kScale * y + 1;
    int winding = 0, crossings = 0;
    for (std::size_t i = 0; i < polygon.size(); ++i) {
        const POINT& a = polygon[i];
        const POINT& b = polygon[(i + 1) % polygon.size()];
        const long long ax = kScale * a.x, ay = kScale * a.y, bx = kScale * b.x, by = kScale * b.y;
        const bool upward = ay <= py && by > py;
        const bool downward = by <= py && ay > py;
        if (!upward && !downward) continue;
        // Which side of the edge the point is on: the sign of (b - a) x (p - a).
        const __int128 side = static_cast<__int128>(bx - ax) * (py - ay) - static_cast<__int128>(by - ay) * (px - ax);
        if (upward && side > 0) {
            ++winding;
            ++crossings;
        }
        if (downward && side < 0) {
            --winding;
            ++crossings;
        }
    }
    return fillMode == WINDING ? winding != 0 : crossings % 2 != 0;
}

// The ellipse rule worked out on its own: CreateEllipticRgn(l, t, r, b) holds the pixels whose centres
// lie in the ellipse inscribed in the pixels l..r-2 by t..b-2 (the box l .. r-1 by t .. b-1 in
// coordinates).
bool EllipseHolds(RECT box, int x, int y) {
    const double w = box.right - 1 - box.left, h = box.bottom - 1 - box.top;
    if (w <= 0 || h <= 0) return false;
    const double nx = (x + 0.5 - box.left - w / 2) / (w / 2);
    const double ny = (y + 0.5 - box.top - h / 2) / (h / 2);
    return nx * nx + ny * ny <= 1.0 + 1e-12;
}

TEST(GdiRegion, PolygonsTakePixelsWhosePointIsInsideLeftAndTopEdgesIncluded) {
    // The corner cuts of the rounded button styles on a 20 x 12 window: three pixels at each corner.
    constexpr int W = 20, H = 12;
    const std::vector<POINT> cuts[4] = {{{0, 0}, {2, 0}, {0, 2}},
                                        {{0, H}, {3, H}, {0, H - 3}},
                                        {{W, 0}, {W - 2, 0}, {W, 2}},
                                        {{W, H}, {W - 3, H}, {W, H - 3}}};
    const std::set<std::pair<int, int>> expected[4] = {{{0, 0}, {1, 0}, {0, 1}},
                                                       {{0, H - 2}, {0, H - 1}, {1, H - 1}},
                                                       {{W - 2, 0}, {W - 1, 0}, {W - 1, 1}},
                                                       {{W - 1, H - 2}, {W - 2, H - 1}, {W - 1, H - 1}}};
    for (int k = 0; k < 4; ++k) {
        const HRGN cut = CreatePolygonRgn(cuts[k].data(), 3, WINDING);
        forGrid(-2, -2, W + 3, H + 3, [&](int x, int y) {
            EXPECT_EQ(PtInRegion(cut, x, y) != 0, expected[k].count({x, y}) == 1) << k << ": " << x << "," << y;
            EXPECT_EQ(PtInRegion(cut, x, y) != 0, PolygonHolds(cuts[k], x, y, WINDING)) << k << ": " << x << "," << y;
        });
        DeleteObject(cut);
    }
    // An axis-aligned polygon is exactly the rectangle; the orientation does not matter.
    const POINT square[4] = {{0, 0}, {0, 4}, {5, 4}, {5, 0}};
    const POINT squareBack[4] = {{5, 0}, {5, 4}, {0, 4}, {0, 0}};
    const HRGN sq = CreatePolygonRgn(square, 4, ALTERNATE);
    const HRGN sqBack = CreatePolygonRgn(squareBack, 4, WINDING);
    const HRGN rect = CreateRectRgn(0, 0, 5, 4);
    EXPECT_TRUE(EqualRgn(sq, rect));
    EXPECT_TRUE(EqualRgn(sqBack, rect));
    // A slanted button outline: every slanted edge takes the pixels whose top-left point it leaves
    // on its inner side.
    const std::vector<POINT> slant{{0, 0}, {13, 13}, {30, 13}, {17, 0}};
    const HRGN slanted = CreatePolygonRgn(slant.data(), 4, WINDING);
    forGrid(-1, -1, 32, 15, [&](int x, int y) {
        EXPECT_EQ(PtInRegion(slanted, x, y) != 0, y >= 0 && y < 13 && x >= y && x < y + 17) << x << "," << y;
    });
    // Random polygons, self-crossing ones included, under both fill modes.
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> coord(-6, 26);
    for (int n = 0; n < 60; ++n) {
        std::vector<POINT> polygon(3 + n % 5);
        for (POINT& p : polygon) p = {coord(rng), coord(rng)};
        for (int mode : {ALTERNATE, WINDING}) {
            const HRGN r = CreatePolygonRgn(polygon.data(), static_cast<int>(polygon.size()), mode);
            ASSERT_TRUE(r);
            forGrid(-7, -7, 28, 28, [&](int x, int y) {
                ASSERT_EQ(PtInRegion(r, x, y) != 0, PolygonHolds(polygon, x, y, mode))
                    << "polygon " << n << " mode " << mode << " at " << x << "," << y;
            });
            DeleteObject(r);
        }
    }
    // A pentagram: its centre is wound twice, so WINDING fills it and ALTERNATE leaves it open.
    POINT star[5];
    for (int k = 0; k < 5; ++k) {
        const double angle = std::numbers::pi / 2 + k * 4 * std::numbers::pi / 5;
        star[k] = {static_cast<LONG>(std::lround(50 + 40 * std::cos(angle))),
                   static_cast<LONG>(std::lround(50 - 40 * std::sin(angle)))};
    }
    const HRGN wound = CreatePolygonRgn(star, 5, WINDING);
    const HRGN alternate = CreatePolygonRgn(star, 5, ALTERNATE);
    EXPECT_TRUE(PtInRegion(wound, 50, 50));
    EXPECT_FALSE(PtInRegion(alternate, 50, 50));
    EXPECT_TRUE(PtInRegion(wound, 50, 15));
    EXPECT_TRUE(PtInRegion(alternate, 50, 15));
    EXPECT_FALSE(CreatePolygonRgn(star, 2, WINDING));
    EXPECT_FALSE(CreatePolygonRgn(star, 5, 7));
    for (HRGN h : {sq, sqBack, rect, slanted, wound, alternate}) EXPECT_EQ(DeleteObject(h), TRUE);
}

TEST(GdiRegion, EllipsesKeepClearOfTheRightColumnAndBottomRow) {
    for (const RECT box : {RECT{0, 0, 23, 17}, RECT{3, 2, 19, 20}, RECT{0, 0, 3, 3}, RECT{-4, -4, 4, 6},
                           RECT{0, 0, 30, 20}, RECT{1, 1, 29, 19}}) {
        const HRGN e = CreateEllipticRgn(box.left, box.top, box.right, box.bottom);
        RECT got;
        GetRgnBox(e, &got);
        EXPECT_EQ(got, (RECT{box.left, box.top, box.right - 1, box.bottom - 1}));
        forGrid(box.left - 1, box.top - 1, box.right + 1, box.bottom + 1,
                [&](int x, int y) { EXPECT_EQ(PtInRegion(e, x, y) != 0, EllipseHolds(box, x, y)) << x << "," << y; });
        DeleteObject(e);
    }
    // A 1 x 1 box holds nothing, a 2 x 2 box one pixel; corners may come in any order.
    const HRGN none = CreateEllipticRgn(5, 5, 6, 6);
    const HRGN one = CreateEllipticRgn(7, 7, 5, 5);
    RECT got;
    EXPECT_EQ(GetRgnBox(none, &got), NULLREGION);
    EXPECT_EQ(GetRgnBox(one, &got), SIMPLEREGION);
    EXPECT_EQ(got, (RECT{5, 5, 6, 6}));
    const HRGN flat = CreateEllipticRgn(0, 0, 0, 10);
    EXPECT_EQ(GetRgnBox(flat, &got), NULLREGION);
    for (HRGN h : {none, one, flat}) DeleteObject(h);
    EXPECT_FALSE(CreateEllipticRgn(0, 0, 100000, 100000));  // refused, not exhausting memory
}

TEST(GdiRegion, FrameRgnPaintsTheBorderInsideTheEdge) {
    const std::vector<POINT> slanted{{0, 0}, {8, 16}, {25, 16}, {17, 0}};  // a slanted button shape
    const RECT oval{1, 1, 24, 15};
    const HRGN shapes[2] = {CreatePolygonRgn(slanted.data(), 4, WINDING),
                            CreateEllipticRgn(oval.left, oval.top, oval.right, oval.bottom)};
    const std::function<bool(int, int)> holds[2] = {[&](int x, int y) { return PolygonHolds(slanted, x, y, WINDING); },
                                                    [&](int x, int y) { return EllipseHolds(oval, x, y); }};
    const HBRUSH brush = CreateSolidBrush(RGB(0, 0, 255));
    for (int k = 0; k < 2; ++k) {
        testing::Canvas c(27, 18);
        ASSERT_EQ(FrameRgn(c.dc(), shapes[k], brush, 1, 1), TRUE);
        const auto& in = holds[k];
        forGrid(0, 0, 27, 18, [&](int x, int y) {
            const bool edge = in(x, y) && !(in(x - 1, y) && in(x + 1, y) && in(x, y - 1) && in(x, y + 1));
            EXPECT_EQ(c.at(x, y), edge ? RGB(0, 0, 255) : 0xFFFFFFu) << k << ": " << x << "," << y;
        });
    }
    // Width and height are separate: two columns at the sides, one row at top and bottom.
    testing::Canvas c(10, 8);
    const HRGN rect = CreateRectRgn(1, 1, 9, 7);
    FrameRgn(c.dc(), rect, brush, 2, 1);
    forGrid(0, 0, 10, 8, [&](int x, int y) {
        const bool in = x >= 1 && x <= 8 && y >= 1 && y <= 6;
        const bool edge = in && (x <= 2 || x >= 7 || y == 1 || y == 6);
        EXPECT_EQ(c.at(x, y), edge ? RGB(0, 0, 255) : 0xFFFFFFu) << x << "," << y;
    });
    EXPECT_EQ(FrameRgn(c.dc(), rect, brush, 0, 1), FALSE);
    for (HRGN h : {shapes[0], shapes[1], rect}) DeleteObject(h);
    DeleteObject(brush);
}

TEST(GdiRegion, ConvertsToAndFromQRegion) {
    const HRGN e = CreateEllipticRgn(0, 0, 30, 20);
    const QRegion q = RegionToQRegion(e);
    forGrid(-1, -1, 31, 21, [&](int x, int y) { EXPECT_EQ(q.contains(QPoint(x, y)), PtInRegion(e, x, y) != 0); });
    const HRGN back = CreateRgnFromQRegion(q.translated(2, 3));
    OffsetRgn(e, 2, 3);
    EXPECT_TRUE(EqualRgn(back, e));
    DeleteObject(e);
    DeleteObject(back);
    EXPECT_TRUE(RegionToQRegion(e).isEmpty());
}

}  // namespace
}  // namespace corvane::gdi
