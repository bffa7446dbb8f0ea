// Pixel rules of rectangles, lines, arcs, single pixels and the focus rectangle.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <tuple>
#include <vector>

#include "canvas_fixture.h"
#include "platform/gdi/blit.h"
#include "platform/gdi/line_raster.h"
#include "platform/gdi/rect.h"
#include "platform/gdi/region.h"
#include "platform/gdi/shapes.h"

namespace corvane::gdi {
namespace {

using Pixels = std::set<std::pair<int, int>>;
constexpr COLORREF kWhite = 0xFFFFFF;
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);

Pixels line(POINT a, POINT b) {
    Pixels out;
    detail::rasterLine(a.x, a.y, b.x, b.y, -1000, 1000, [&](long long x, long long y, long long) {
        out.insert({int(x), int(y)});
    });
    return out;
}

TEST(GdiRectangle, OutlineAndFillStayInsideWithRightAndBottomExclusive) {
    testing::Canvas c(12, 12);
    c.tools(PS_SOLID, 1, 0x000000, kRed);
    ASSERT_EQ(Rectangle(c.dc(), 7, 8, 2, 3), TRUE);  // corners in any order
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 12; ++x) {
            const bool inside = x >= 2 && x <= 6 && y >= 3 && y <= 7;
            const bool edge = inside && (x == 2 || x == 6 || y == 3 || y == 7);
            EXPECT_EQ(c.at(x, y), edge ? 0u : (inside ? kRed : kWhite)) << x << "," << y;
        }
    // A wide inside-frame pen keeps its whole width inside the bounds.
    testing::Canvas w(12, 12);
    w.tools(PS_INSIDEFRAME, 3, kBlue, kRed);
    Rectangle(w.dc(), 1, 1, 11, 10);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 12; ++x) {
            const bool inside = x >= 1 && x <= 10 && y >= 1 && y <= 9;
            const bool core = x >= 4 && x <= 7 && y >= 4 && y <= 6;
            EXPECT_EQ(w.at(x, y), !inside ? kWhite : (core ? kRed : kBlue)) << x << "," << y;
        }
}

TEST(GdiRectangle, NullPenLeavesTheRightColumnAndBottomRowToo) {
    testing::Canvas c(10, 9);
    c.tools(PS_NULL, 1, 0, kBlue);
    ASSERT_EQ(Rectangle(c.dc(), 1, 2, 8, 7), TRUE);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 10; ++x)
            EXPECT_EQ(c.at(x, y), x >= 1 && x <= 6 && y >= 2 && y <= 5 ? kBlue : kWhite) << x << "," << y;
    // The stock null pen the same; a 1 x 1 box fills nothing, a 2 x 2 box one pixel.
    testing::Canvas s(5, 5);
    DeleteObject(SelectObject(s.dc(), CreateSolidBrush(kRed)));
    SelectObject(s.dc(), GetStockObject(NULL_PEN));
    Rectangle(s.dc(), 0, 0, 1, 1);
    EXPECT_TRUE(s.marked().empty());
    Rectangle(s.dc(), 4, 4, 2, 2);
    EXPECT_EQ(s.marked(), (Pixels{{2, 2}}));
}

TEST(GdiRectangle, DashedOutlineRunsFromTheTopRightCornerCounterClockwise) {
    // The border pixels in drawing order: left along the top from the top-right corner, down the left
    // side, right along the bottom, up the right side.
    const int l = 1, t = 1, r = 14, b = 9;
    std::vector<std::pair<int, int>> path;
    for (int x = r - 1; x > l; --x) path.push_back({x, t});
    for (int y = t; y < b - 1; ++y) path.push_back({l, y});
    for (int x = l; x < r - 1; ++x) path.push_back({x, b - 1});
    for (int y = b - 1; y > t; --y) path.push_back({r - 1, y});
    ASSERT_EQ(path.size(), std::size_t{2 * (r - l) + 2 * (b - t) - 4});
    struct Style {
        int style;
        std::vector<int> pattern;  // on, off, on, off ...
    };
    for (const Style& st : {Style{PS_DOT, {3, 3}}, Style{PS_DASH, {18, 6}}, Style{PS_DASHDOT, {9, 6, 3, 6}}}) {
        testing::Canvas c(16, 11);
        c.tools(st.style, 1, kBlue, kWhite);
        SetBkColor(c.dc(), kRed);  // OPAQUE: the gaps take the background colour
        ASSERT_EQ(Rectangle(c.dc(), l, t, r, b), TRUE);
        int period = 0;
        for (int part : st.pattern) period += part;
        for (std::size_t i = 0; i < path.size(); ++i) {
            int at = static_cast<int>(i) % period;
            bool on = true;
            for (int part : st.pattern) {
                if (at < part) break;
                at -= part;
                on = !on;
            }
            EXPECT_EQ(c.at(path[i].first, path[i].second), on ? kBlue : kRed)
                << st.style << " step " << i << " at " << path[i].first << "," << path[i].second;
        }
        EXPECT_EQ(c.at(5, 5), kWhite);  // the brush inside
        EXPECT_EQ(c.at(0, 0), kWhite);
    }
    // One row high: a single run from the right end to the left end.
    testing::Canvas row(12, 3);
    row.tools(PS_DOT, 1, kBlue, kWhite);
    SetBkMode(row.dc(), TRANSPARENT);
    Rectangle(row.dc(), 0, 1, 11, 2);
    for (int x = 0; x < 11; ++x) EXPECT_EQ(row.at(x, 1), ((10 - x) / 3) % 2 == 0 ? kBlue : kWhite) << x;
}

// The round tip of a pen `width` wide marked at pixel (px, py): the pixels whose centres lie within
// width / 2 of the pixel's centre (odd widths) or its top-left corner (even widths).
bool InTip(int width, int px, int py, int x, int y) {
    const double anchor = width % 2 ? 0.5 : 0.0;
    const double dx = (x + 0.5) - (px + anchor), dy = (y + 0.5) - (py + anchor);
    return dx * dx + dy * dy <= width * width / 4.0;
}

Pixels Tips(int width, const Pixels& centres, int w, int h) {
    Pixels out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (const auto& [px, py] : centres)
                if (InTip(width, px, py, x, y)) {
                    out.insert({x, y});
                    break;
                }
    return out;
}

TEST(GdiWidePen, CentredOnTheLineWithRoundEndsAndJoins) {
    for (int width : {2, 3, 4, 5}) {
        // An open path with a sharp turn: the one-pixel line's pixels, the last point included,
        // each with the pen's round tip.
        const POINT path[3] = {{4, 18}, {12, 5}, {25, 14}};
        Pixels centres = line(path[0], path[1]);
        const Pixels second = line(path[1], path[2]);
        centres.insert(second.begin(), second.end());
        centres.insert({path[2].x, path[2].y});
        testing::Canvas c(30, 24);
        c.tools(PS_SOLID, width, kBlue, kWhite);
        ASSERT_EQ(Polyline(c.dc(), path, 3), TRUE);
        EXPECT_EQ(c.marked(), Tips(width, centres, 30, 24)) << width;
    }
    // A horizontal stroke 3 wide: three rows, and a round end one pixel beyond each end point.
    testing::Canvas h(20, 9);
    h.tools(PS_SOLID, 3, kBlue, kWhite);
    const POINT flat[2] = {{5, 4}, {14, 4}};
    Polyline(h.dc(), flat, 2);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool body = x >= 5 && x <= 14 && y >= 3 && y <= 5;
            const bool caps = (x == 4 || x == 15) && y >= 3 && y <= 5;
            EXPECT_EQ(h.at(x, y), body || caps ? kBlue : kWhite) << x << "," << y;
        }
    // A tip 5 wide is round: the corners of its 5 x 5 box stay clear.
    testing::Canvas dot(9, 9);
    dot.tools(PS_SOLID, 5, kBlue, kWhite);
    const POINT same[2] = {{4, 4}, {4, 4}};
    Polyline(dot.dc(), same, 2);
    EXPECT_EQ(dot.marked(), Tips(5, {{4, 4}}, 9, 9));
    EXPECT_EQ(dot.at(2, 2), kWhite);
    EXPECT_EQ(dot.at(2, 4), kBlue);
    EXPECT_EQ(dot.at(6, 4), kBlue);
}

TEST(GdiWidePen, RectangleAndArcOutlinesAreCentredOnTheirBorderPixels) {
    for (int width : {2, 3, 4, 5}) {
        const int l = 5, t = 4, r = 17, b = 13;
        testing::Canvas c(22, 18);
        c.tools(PS_SOLID, width, kBlue, kRed);
        ASSERT_EQ(Rectangle(c.dc(), l, t, r, b), TRUE);
        Pixels border;
        for (int x = l; x < r; ++x) border.insert({x, t}), border.insert({x, b - 1});
        for (int y = t; y < b; ++y) border.insert({l, y}), border.insert({r - 1, y});
        const Pixels pen = Tips(width, border, 22, 18);
        for (int y = 0; y < 18; ++y)
            for (int x = 0; x < 22; ++x) {
                const bool fill = x > l && x < r - 1 && y > t && y < b - 1;
                EXPECT_EQ(c.at(x, y), pen.count({x, y}) ? kBlue : (fill ? kRed : kWhite))
                    << width << ": " << x << "," << y;
            }
        // Rounded outside the corners: the pixel diagonally off a corner by the half width is clear
        // from width 4 on (the tips of widths 2 and 3 are squares).
        if (width >= 4) {
            EXPECT_EQ(c.at(l - width / 2, t - width / 2), kWhite) << width;
        }
    }
    // A whole Arc with a wide pen is the thin Arc's pixels with the tip on each.
    for (int width : {3, 4}) {
        testing::Canvas thin(26, 22), wide(26, 22);
        Arc(thin.dc(), 3, 3, 22, 18, 0, 0, 0, 0);
        wide.tools(PS_SOLID, width, 0, kWhite);
        Arc(wide.dc(), 3, 3, 22, 18, 0, 0, 0, 0);
        EXPECT_EQ(wide.marked(), Tips(width, thin.marked(), 26, 22)) << width;
        // Inside the frame, the pen keeps to the box.
        testing::Canvas inside(26, 22);
        inside.tools(PS_INSIDEFRAME, width, 0, kWhite);
        Arc(inside.dc(), 3, 3, 22, 18, 0, 0, 0, 0);
        for (const auto& [x, y] : inside.marked()) {
            EXPECT_GE(x, 3);
            EXPECT_LT(x, 22);
            EXPECT_GE(y, 3);
            EXPECT_LT(y, 18);
        }
        EXPECT_FALSE(inside.marked().empty());
    }
}

TEST(GdiRectangle, OneRowRectanglesWithMatchingPenFillExactlyTheirRow) {
    testing::Canvas c(9, 6);
    for (int row = 0; row < 6; ++row) {
        const COLORREF colour = RGB(row * 40, 255 - row * 40, row);
        c.tools(PS_SOLID, 1, colour, colour);
        Rectangle(c.dc(), 0, row, 9, row + 1);
    }
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 9; ++x) EXPECT_EQ(c.at(x, y), RGB(y * 40, 255 - y * 40, y));
    // An empty rectangle draws nothing.
    c.tools(PS_SOLID, 1, 0, 0);
    Rectangle(c.dc(), 3, 3, 3, 5);
    EXPECT_EQ(c.at(3, 3), RGB(120, 135, 3));
}

TEST(GdiPolyline, LastPointIsLeftOutInAllEightDirections) {
    const int dirs[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
    for (const auto& d : dirs) {
        testing::Canvas c(21, 21);
        const POINT pts[2] = {{10, 10}, {10 + 6 * d[0], 10 + 6 * d[1]}};
        ASSERT_EQ(Polyline(c.dc(), pts, 2), TRUE);
        Pixels expected;
        for (int k = 0; k < 6; ++k) expected.insert({10 + k * d[0], 10 + k * d[1]});
        EXPECT_EQ(c.marked(), expected) << d[0] << "," << d[1];
    }
    testing::Canvas c(5, 5);
    const POINT one[1] = {{1, 1}};
    EXPECT_EQ(Polyline(c.dc(), one, 1), FALSE);
}

TEST(GdiPolyline, TiesGoToTheSmallerCoordinateWhateverTheDirection) {
    // (0,0)-(4,2): at x = 1 and x = 3 the line runs exactly between two rows.
    EXPECT_EQ(line({0, 0}, {4, 2}), (Pixels{{0, 0}, {1, 0}, {2, 1}, {3, 1}}));
    EXPECT_EQ(line({4, 2}, {0, 0}), (Pixels{{4, 2}, {3, 1}, {2, 1}, {1, 0}}));
    EXPECT_EQ(line({0, 4}, {2, 0}), (Pixels{{0, 4}, {0, 3}, {1, 2}, {1, 1}}));
    // For any line, both directions light the same pixels apart from the left-out end, one pixel
    // per step, each touching the previous one.
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> coord(-20, 20);
    for (int i = 0; i < 300; ++i) {
        const POINT a{coord(rng), coord(rng)}, b{coord(rng), coord(rng)};
        if (a == b) continue;
        Pixels forward = line(a, b), backward = line(b, a);
        const std::size_t steps = static_cast<std::size_t>(std::max(std::abs(b.x - a.x), std::abs(b.y - a.y)));
        EXPECT_EQ(forward.size(), steps);
        forward.insert({b.x, b.y});
        backward.insert({a.x, a.y});
        EXPECT_EQ(forward, backward) << a.x << "," << a.y << " " << b.x << "," << b.y;
    }
}

// The pixel of step i from the rule itself: the minor coordinate nearest to the exact line, ties
// to the smaller one.
std::pair<long long, long long> ExpectedStep(POINT a, POINT b, long long i) {
    const long long dx = b.x - a.x, dy = b.y - a.y;
    const bool xMajor = std::llabs(dx) >= std::llabs(dy);
    const long long n = std::max(std::llabs(dx), std::llabs(dy));
    const long long major = (xMajor ? a.x : a.y) + (xMajor ? (dx > 0 ? 1 : -1) : (dy > 0 ? 1 : -1)) * i;
    const long long along = (xMajor ? dy : dx) * i;  // the exact minor offset times n
    long long q = along / n, rem = along % n;
    if (rem < 0) {
        --q;
        rem += n;
    }
    const long long minor = (xMajor ? a.y : a.x) + (2 * rem > n ? q + 1 : q);
    return xMajor ? std::pair{major, minor} : std::pair{minor, major};
}

TEST(GdiPolyline, EveryStepTakesThePixelNearestTheExactLineInsideAnyBand) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> coord(-60, 60);
    for (int k = 0; k < 2000; ++k) {
        const POINT a{coord(rng), coord(rng)}, b{coord(rng), coord(rng)};
        if (a == b) continue;
        const long long low = coord(rng), high = low + std::abs(coord(rng));
        std::vector<std::tuple<long long, long long, long long>> got;
        detail::rasterLine(a.x, a.y, b.x, b.y, low, high,
                           [&](long long x, long long y, long long i) { got.push_back({x, y, i}); });
        std::vector<std::tuple<long long, long long, long long>> expected;
        const bool xMajor = std::abs(b.x - a.x) >= std::abs(b.y - a.y);
        const long long n = std::max(std::abs(b.x - a.x), std::abs(b.y - a.y));
        for (long long i = 0; i < n; ++i) {
            const auto [x, y] = ExpectedStep(a, b, i);
            const long long major = xMajor ? x : y;
            if (major >= low && major < high) expected.push_back({x, y, i});
        }
        ASSERT_EQ(got, expected) << a.x << "," << a.y << " -> " << b.x << "," << b.y << " in [" << low << ", " << high
                                 << ")";
    }
}

TEST(GdiPolyline, SolidPathOnAClippedCanvasLightsExactlyItsVisibleSteps) {
    // Level, upright and slanted segments, some running off the canvas, drawn through a clip region.
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> coord(-8, 40);
    for (int round = 0; round < 40; ++round) {
        testing::Canvas c(32, 24);
        const HRGN clip = CreateEllipticRgn(-4, -2, 30, 27);
        SelectClipRgn(c.dc(), clip);
        std::vector<POINT> path;
        for (int k = 0; k < 6; ++k) {
            POINT p{coord(rng), coord(rng)};
            if (!path.empty() && k % 3 == 1) p.y = path.back().y;  // level
            if (!path.empty() && k % 3 == 2) p.x = path.back().x;  // upright
            path.push_back(p);
        }
        ASSERT_EQ(Polyline(c.dc(), path.data(), static_cast<int>(path.size())), TRUE);
        Pixels expected;
        for (std::size_t k = 0; k + 1 < path.size(); ++k) {
            const POINT a = path[k], b = path[k + 1];
            const long long n = std::max(std::abs(b.x - a.x), std::abs(b.y - a.y));
            for (long long i = 0; i < n; ++i) {
                const auto [x, y] = ExpectedStep(a, b, i);
                if (x >= 0 && y >= 0 && x < 32 && y < 24 && PtInRegion(clip, int(x), int(y)))
                    expected.insert({int(x), int(y)});
            }
        }
        SelectClipRgn(c.dc(), nullptr);  // reading is clipped too
        EXPECT_EQ(c.marked(), expected) << "round " << round;
        DeleteObject(clip);
    }
}

TEST(GdiPolyline, DiamondOfSeparatePolylinesClosesWithoutGaps) {
    testing::Canvas c(21, 21);
    const POINT top{10, 2}, right{18, 10}, bottom{10, 18}, left{2, 10};
    const POINT segments[4][2] = {{top, right}, {right, bottom}, {bottom, left}, {left, top}};
    for (const auto& s : segments) Polyline(c.dc(), s, 2);
    Pixels expected;
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 21; ++x)
            if (std::abs(x - 10) + std::abs(y - 10) == 8) expected.insert({x, y});
    EXPECT_EQ(c.marked(), expected);

    // A flat diamond as one closed polyline: every corner is drawn (by the segment leaving it) and
    // the ring is one 8-connected piece.
    testing::Canvas f(30, 12);
    const POINT ring[5] = {{15, 1}, {28, 6}, {15, 11}, {2, 6}, {15, 1}};
    Polyline(f.dc(), ring, 5);
    const Pixels drawn = f.marked();
    for (const POINT& p : ring) EXPECT_TRUE(drawn.count({p.x, p.y})) << p.x << "," << p.y;
    Pixels reached{{15, 1}};
    std::vector<std::pair<int, int>> todo{{15, 1}};
    while (!todo.empty()) {
        const auto [x, y] = todo.back();
        todo.pop_back();
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (drawn.count({x + dx, y + dy}) && reached.insert({x + dx, y + dy}).second)
                    todo.push_back({x + dx, y + dy});
    }
    EXPECT_EQ(reached, drawn);
    // Cutting the ring at its top corner leaves a path: only the two pixels next to the cut end
    // it, so no pixel is missing along the way.
    Pixels open = drawn;
    open.erase({15, 1});
    int ends = 0;
    for (const auto& [x, y] : open) {
        int neighbours = 0;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if ((dx || dy) && open.count({x + dx, y + dy})) ++neighbours;
        if (neighbours <= 1) ++ends;
    }
    EXPECT_EQ(ends, 4);  // the cut's two sides, plus the two one-pixel spikes at the side corners
}

TEST(GdiPolyline, DottedPenRunsThreeOnThreeOffWithOpaqueGaps) {
    testing::Canvas c(16, 3);
    c.tools(PS_DOT, 1, kBlue, kWhite);
    SetBkColor(c.dc(), kRed);
    const POINT opaqueLine[3] = {{0, 0}, {8, 0}, {14, 0}};  // the pattern runs on across segments
    Polyline(c.dc(), opaqueLine, 3);
    SetBkMode(c.dc(), TRANSPARENT);
    const POINT clearLine[2] = {{0, 2}, {14, 2}};
    Polyline(c.dc(), clearLine, 2);
    for (int x = 0; x < 14; ++x) {
        const bool on = (x / 3) % 2 == 0;
        EXPECT_EQ(c.at(x, 0), on ? kBlue : kRed) << x;
        EXPECT_EQ(c.at(x, 2), on ? kBlue : kWhite) << x;
    }
    EXPECT_EQ(c.at(14, 0), kWhite);
}

TEST(GdiPixels, OutsideTheBitmapOrClipIsInvalidAndMonochromeRoundsToBlackOrWhite) {
    testing::Canvas c(4, 3, kRed);
    EXPECT_EQ(GetPixel(c.dc(), -1, 0), CLR_INVALID);
    EXPECT_EQ(GetPixel(c.dc(), 4, 0), CLR_INVALID);
    EXPECT_EQ(GetPixel(c.dc(), 0, 3), CLR_INVALID);
    EXPECT_EQ(SetPixel(c.dc(), 0, -1, kBlue), CLR_INVALID);
    EXPECT_EQ(SetPixel(c.dc(), 3, 2, 0xFF000000u | kBlue), kBlue);
    EXPECT_EQ(GetPixel(c.dc(), 3, 2), kBlue);
    const HRGN clip = CreateRectRgn(1, 0, 2, 3);
    SelectClipRgn(c.dc(), clip);
    DeleteObject(clip);  // the context keeps its own copy
    EXPECT_EQ(GetPixel(c.dc(), 0, 0), CLR_INVALID);
    EXPECT_EQ(SetPixel(c.dc(), 0, 0, kBlue), CLR_INVALID);
    EXPECT_EQ(GetPixel(c.dc(), 1, 0), kRed);
    SelectClipRgn(c.dc(), nullptr);
    EXPECT_EQ(GetPixel(c.dc(), 0, 0), kRed);

    testing::Canvas mono(2, 1, 0, true);
    EXPECT_EQ(SetPixel(mono.dc(), 0, 0, RGB(128, 128, 128)), kWhite);
    EXPECT_EQ(SetPixel(mono.dc(), 1, 0, RGB(127, 128, 127)), 0u);
}

TEST(GdiFocusRect, InvertsAlternatePixelsAndTogglesBack) {
    testing::Canvas c(10, 8);
    std::mt19937 rng(3);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 10; ++x) SetPixel(c.dc(), x, y, rng() & 0xFFFFFF);
    const QImage before = BitmapImage(c.bitmap()).copy();
    const RECT r{1, 2, 8, 7};
    ASSERT_EQ(DrawFocusRect(c.dc(), &r), TRUE);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 10; ++x) {
            const bool frame = x >= 1 && x <= 7 && y >= 2 && y <= 6 && (x == 1 || x == 7 || y == 2 || y == 6);
            const QRgb p = before.pixel(x, y);
            const COLORREF old = RGB(qRed(p), qGreen(p), qBlue(p));
            EXPECT_EQ(c.at(x, y), frame && (x + y) % 2 == 0 ? old ^ 0xFFFFFFu : old) << x << "," << y;
        }
    DrawFocusRect(c.dc(), &r);
    EXPECT_EQ(BitmapImage(c.bitmap()), before);
}

TEST(GdiArc, WholeArcIsTheOutlineOfTheEllipseFillingItsBox) {
    for (const RECT box : {RECT{0, 0, 15, 11}, RECT{2, 1, 22, 19}, RECT{1, 1, 8, 3}}) {
        // The ellipse inscribed in the pixels left..right-1 by top..bottom-1: pixel centres inside.
        const auto in = [&](int x, int y) {
            const double a = (box.right - box.left) / 2.0, b = (box.bottom - box.top) / 2.0;
            const double nx = (x + 0.5 - box.left - a) / a, ny = (y + 0.5 - box.top - b) / b;
            return nx * nx + ny * ny <= 1.0 + 1e-12;
        };
        Pixels outline;
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 24; ++x)
                if (in(x, y) && !(in(x - 1, y) && in(x + 1, y) && in(x, y - 1) && in(x, y + 1))) outline.insert({x, y});
        testing::Canvas arc(24, 20);
        ASSERT_EQ(Arc(arc.dc(), box.left, box.top, box.right, box.bottom, 0, 0, 0, 0), TRUE);
        EXPECT_EQ(arc.marked(), outline) << box.right << "x" << box.bottom;
        // The same pixels as the frame of the elliptic region one pixel larger.
        testing::Canvas frame(24, 20);
        const HRGN ellipse = CreateEllipticRgn(box.left, box.top, box.right + 1, box.bottom + 1);
        const HBRUSH black = CreateSolidBrush(0);
        FrameRgn(frame.dc(), ellipse, black, 1, 1);
        EXPECT_EQ(arc.marked(), frame.marked());
        DeleteObject(ellipse);
        DeleteObject(black);
    }
    // From the ray to the right to the ray upwards, counter-clockwise: the upper-right quarter.
    testing::Canvas c(21, 21);
    Arc(c.dc(), 0, 0, 21, 21, 20, 10, 10, 0);
    const Pixels quarter = c.marked();
    EXPECT_FALSE(quarter.empty());
    for (const auto& [x, y] : quarter) {
        EXPECT_GE(x, 10);
        EXPECT_LE(y, 10);
    }
}

TEST(GdiClip, DrawingStaysInsideTheSelectedRegion) {
    testing::Canvas c(20, 14);
    const HRGN ellipse = CreateEllipticRgn(2, 1, 17, 13);
    ASSERT_EQ(SelectClipRgn(c.dc(), ellipse), COMPLEXREGION);
    c.tools(PS_SOLID, 1, kBlue, kBlue);
    PatBlt(c.dc(), 0, 0, 20, 14, PATCOPY);
    Rectangle(c.dc(), -5, -5, 30, 30);
    const POINT diagonal[2] = {{0, 0}, {20, 14}};
    Polyline(c.dc(), diagonal, 2);
    SelectClipRgn(c.dc(), nullptr);
    for (int y = 0; y < 14; ++y)
        for (int x = 0; x < 20; ++x) EXPECT_EQ(c.at(x, y), PtInRegion(ellipse, x, y) ? kBlue : kWhite) << x << "," << y;
    DeleteObject(ellipse);
}

TEST(GdiLimits, ExtremeCoordinatesDrawTheVisiblePartWithoutOverflow) {
    testing::Canvas c(10, 10);
    // A line four billion pixels long at exactly 45 degrees crosses the canvas on y = x + 1.
    const POINT far[2] = {{-2000000000, -1999999999}, {2000000000, 2000000001}};
    ASSERT_EQ(Polyline(c.dc(), far, 2), TRUE);
    std::set<std::pair<int, int>> expected;
    for (int x = 0; x < 9; ++x) expected.insert({x, x + 1});
    EXPECT_EQ(c.marked(), expected);
    // Nearly horizontal, with a slope that needs the wide arithmetic.
    testing::Canvas h(10, 3);
    const POINT flat[2] = {{-2147483647, 1}, {2147483647, 2}};
    Polyline(h.dc(), flat, 2);
    EXPECT_EQ(h.marked().size(), 10u);

    testing::Canvas r(6, 6);
    r.tools(PS_SOLID, 1, 0, RGB(0, 0, 255));
    ASSERT_EQ(Rectangle(r.dc(), INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX), TRUE);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(r.at(x, y), RGB(0, 0, 255));
    EXPECT_EQ(StretchBlt(r.dc(), INT32_MIN, 0, INT32_MAX, 6, c.dc(), 0, 0, INT32_MAX - 1, 6, SRCCOPY), TRUE);

    // A clip region far larger than any bitmap, and an icon-sized request of two billion pixels.
    const HRGN huge = CreateRectRgn(-2000000000, -2000000000, 2000000000, 2000000000);
    ASSERT_EQ(SelectClipRgn(r.dc(), huge), SIMPLEREGION);
    EXPECT_EQ(SetPixel(r.dc(), 5, 5, 0), 0u);
    SelectClipRgn(r.dc(), nullptr);
    DeleteObject(huge);

    RECT rect{INT32_MAX - 1, 0, INT32_MAX, 1};
    EXPECT_EQ(OffsetRect(&rect, 5, 0), TRUE);  // wraps instead of overflowing
    EXPECT_EQ(rect.left, INT32_MIN + 3);
    EXPECT_EQ(InflateRect(&rect, INT32_MIN, 0), TRUE);
    EXPECT_EQ(OffsetRect(nullptr, 1, 1), FALSE);
}

}  // namespace
}  // namespace corvane::gdi
