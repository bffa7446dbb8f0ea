// Region shapes, algebra, frames and the window-region conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>

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

TEST(GdiRegion, PolygonsTakePixelsWhoseCentresAreInside) {
    // The corner cuts of the rounded button shapes.
    const POINT topLeft[3] = {{0, 0}, {2, 0}, {0, 2}};
    const POINT bottomLeft[3] = {{0, 10}, {3, 10}, {0, 7}};
    const HRGN t = CreatePolygonRgn(topLeft, 3, WINDING);
    const HRGN b = CreatePolygonRgn(bottomLeft, 3, WINDING);
    forGrid(-1, -1, 5, 12, [&](int x, int y) {
        EXPECT_EQ(PtInRegion(t, x, y) != 0, x == 0 && y == 0) << x << "," << y;
        EXPECT_EQ(PtInRegion(b, x, y) != 0, (y == 9 && x >= 0 && x <= 1) || (y == 8 && x == 0)) << x << "," << y;
    });
    // An axis-aligned polygon is exactly the rectangle; the orientation does not matter.
    const POINT square[4] = {{0, 0}, {0, 4}, {5, 4}, {5, 0}};
    const POINT squareBack[4] = {{5, 0}, {5, 4}, {0, 4}, {0, 0}};
    const HRGN sq = CreatePolygonRgn(square, 4, ALTERNATE);
    const HRGN sqBack = CreatePolygonRgn(squareBack, 4, WINDING);
    const HRGN rect = CreateRectRgn(0, 0, 5, 4);
    EXPECT_TRUE(EqualRgn(sq, rect));
    EXPECT_TRUE(EqualRgn(sqBack, rect));
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
    for (HRGN h : {t, b, sq, sqBack, rect, wound, alternate}) EXPECT_EQ(DeleteObject(h), TRUE);
}

TEST(GdiRegion, EllipsesAreSymmetricAndFillTheirBox) {
    for (const RECT box : {RECT{0, 0, 23, 17}, RECT{3, 2, 19, 20}, RECT{0, 0, 1, 1}, RECT{-4, -4, 4, 6}}) {
        const HRGN e = CreateEllipticRgn(box.left, box.top, box.right, box.bottom);
        RECT got;
        GetRgnBox(e, &got);
        EXPECT_EQ(got, box);
        forGrid(box.left, box.top, box.right, box.bottom, [&](int x, int y) {
            const bool in = PtInRegion(e, x, y);
            EXPECT_EQ(in, PtInRegion(e, box.left + box.right - 1 - x, y) != 0);
            EXPECT_EQ(in, PtInRegion(e, x, box.top + box.bottom - 1 - y) != 0);
            // the pixel centre rule, in floating point for this check
            const double nx = (2.0 * x + 1 - box.left - box.right) / (box.right - box.left);
            const double ny = (2.0 * y + 1 - box.top - box.bottom) / (box.bottom - box.top);
            EXPECT_EQ(in, nx * nx + ny * ny <= 1.0 + 1e-12) << x << "," << y;
        });
        DeleteObject(e);
    }
    const HRGN flat = CreateEllipticRgn(0, 0, 0, 10);
    RECT got;
    EXPECT_EQ(GetRgnBox(flat, &got), NULLREGION);
    DeleteObject(flat);
    EXPECT_FALSE(CreateEllipticRgn(0, 0, 100000, 100000));  // refused, not exhausting memory
}

TEST(GdiRegion, FrameRgnPaintsTheBorderInsideTheEdge) {
    const POINT slanted[4] = {{0, 0}, {8, 16}, {25, 16}, {17, 0}};  // a slanted button shape
    const HRGN shapes[2] = {CreatePolygonRgn(slanted, 4, WINDING), CreateEllipticRgn(1, 1, 24, 15)};
    const HBRUSH brush = CreateSolidBrush(RGB(0, 0, 255));
    for (HRGN shape : shapes) {
        testing::Canvas c(27, 18);
        ASSERT_EQ(FrameRgn(c.dc(), shape, brush, 1, 1), TRUE);
        forGrid(0, 0, 27, 18, [&](int x, int y) {
            const bool in = PtInRegion(shape, x, y);
            const bool edge = in && !(PtInRegion(shape, x - 1, y) && PtInRegion(shape, x + 1, y) &&
                                      PtInRegion(shape, x, y - 1) && PtInRegion(shape, x, y + 1));
            EXPECT_EQ(c.at(x, y), edge ? RGB(0, 0, 255) : 0xFFFFFFu) << x << "," << y;
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
