// The rings, corner pixels and faces of the eight button styles, read from the window's pixels at the
// points of the edge geometry: inner ring two pixels in, middle ring one pixel in, outer ring on the border.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "drawn_button.h"

namespace corvane::buttons {
namespace {

using testing::DrawnButtonTest;
using testing::kBack;

constexpr int kW = 61, kH = 27;
constexpr OleColor kFaceShown = -1;     // a segment not drawn: the face shows
using Ring = std::array<OleColor, 13>;  // colours 1..12 as the style's table gives them

class ButtonStyles : public DrawnButtonTest {
protected:
    zqButtons_H& Style(int style, QJsonObject more = {}) {
        more.insert(QStringLiteral("BackStyle"), style);
        return Make(kW, kH, more);
    }

    // Each segment sampled away from its ends: left and right at mid-height, top and bottom at mid-width.
    void ExpectRings(const Ring& c, OleColor face, const char* what) {
        const int mx = kW / 2, my = kH / 2;
        const struct {
            int k, x, y;
        } samples[] = {{1, 2, my}, {2, mx, 2},  {3, kW - 3, my},  {4, mx, kH - 3},
                       {5, 1, my}, {6, mx, 1},  {7, kW - 2, my},  {8, mx, kH - 2},
                       {9, 0, my}, {10, mx, 0}, {11, kW - 1, my}, {12, mx, kH - 1}};
        for (const auto& s : samples) {
            const OleColor want =
                c[static_cast<std::size_t>(s.k)] == kFaceShown ? face : c[static_cast<std::size_t>(s.k)];
            EXPECT_EQ(At(s.x, s.y), want) << what << ": colour " << s.k << " at (" << s.x << ", " << s.y << ")";
        }
    }
};

Ring Rings(OleColor inner13, OleColor inner24, OleColor mid56, OleColor mid78, OleColor out910, OleColor out1112) {
    return {0, inner13, inner13, inner24, inner24, mid56, mid56, mid78, mid78, out910, out910, out1112, out1112};
}

TEST_F(ButtonStyles, Style0ClassicInEveryState) {
    constexpr OleColor light = Rgb(233, 233, 233), grey = 0x808080, white = 0xFFFFFF, black = 0;
    Style(0);
    ExpectRings(Rings(-1, -1, light, grey, white, black), kBack, "normal");
    Focus();
    ExpectRings(Rings(light, grey, white, black, black, black), kBack, "focus: the outer ring all black");
    button.reset();
    Style(0);
    Hover(true);
    ExpectRings(Rings(-1, -1, -1, grey, white, black), kBack, "pushed");
    button.reset();
    Style(0, {{"Mode", 1}, {"Value", true}});
    const OleColor checked = ShiftColor(0xFFFFFF, -32);
    ExpectRings(Rings(-1, -1, -1, light, black, white), checked, "checked: state 3, outer ring reversed");
}

TEST_F(ButtonStyles, Style1OuterRingIsBlackInEveryState) {
    constexpr OleColor grey = 0x808080, white = 0xFFFFFF;
    Style(1);
    ExpectRings(Rings(white, grey, white, grey, 0, 0), kBack, "normal (raised)");
    Hover(true);
    ExpectRings(Rings(grey, white, grey, white, 0, 0), kBack, "pushed");
    button.reset();
    Style(1, {{"Mode", 1}, {"Value", true}});
    ExpectRings(Rings(grey, white, grey, white, 0, 0), ShiftColor(0xFFFFFF, -32), "checked");
    // Its four corner pixels are cut from the window.
    for (auto [x, y] : {std::pair{0, 0}, {0, kH - 1}, {kW - 1, kH - 1}, {kW - 1, 0}}) EXPECT_FALSE(Inside(x, y));
    EXPECT_TRUE(Inside(1, 0));
}

TEST_F(ButtonStyles, Style2HotAccentsAndCornerPixels) {
    Style(2);
    Hover();
    const OleColor outer = Rgb(0, 60, 115);
    EXPECT_EQ(At(2, kH / 2), Rgb(255, 203, 107)) << "inner left";
    EXPECT_EQ(At(kW / 2, 2), Rgb(255, 219, 140)) << "inner top";
    EXPECT_EQ(At(kW / 2, kH - 2), Rgb(231, 150, 0)) << "middle bottom";
    for (auto [x, y] : {std::pair{0, kH / 2}, {kW / 2, 0}, {kW - 1, kH / 2}, {kW / 2, kH - 1}})
        EXPECT_EQ(At(x, y), outer) << x << "," << y;
    for (auto [x, y] : {std::pair{1, 1}, {1, kH - 2}, {kW - 2, 1}, {kW - 2, kH - 2}})
        EXPECT_EQ(At(x, y), outer) << "corner pixel " << x << "," << y;

    button.reset();
    Style(2, {{"Enabled", false}});
    const OleColor face = ShiftColor(ShiftColor(kBack, 48, true), -24, true);  // FaceColor, darkened when disabled
    EXPECT_EQ(At(0, kH / 2), ShiftColor(face, -84, true)) << "disabled outer ring";
}

TEST_F(ButtonStyles, Style2ShadesItsFaceByRows) {
    // An ellipse has no rings: the face shows at the centre, shaded by its row.
    Make(41, 40, {{"BackStyle", 2}, {"Shape", 4}});
    const OleColor fill = ShiftColor(kBack, 48, true);
    const int row = 20;
    const int step = static_cast<int>(std::nearbyint(-(25.0 / 40) * row));
    EXPECT_EQ(At(20, row), ShiftColor(fill, step, true));
    EXPECT_EQ(At(20, row + 4), ShiftColor(fill, static_cast<int>(std::nearbyint(-(25.0 / 40) * (row + 4))), true));
}

TEST_F(ButtonStyles, Style3FlatAndItsCuts) {
    const OleColor dark = Rgb(102, 103, 103), white = 0xFFFFFF;
    Style(3);
    ExpectRings(Rings(-1, -1, white, dark, dark, white), kBack, "enabled");
    EXPECT_FALSE(Inside(0, kH - 1));
    EXPECT_FALSE(Inside(kW - 1, 0));
    EXPECT_TRUE(Inside(0, 0));
    button->SetEnabled(false);
    ExpectRings(Rings(kBack, kBack, kBack, kBack, dark, dark), kBack, "disabled command button");
    EXPECT_TRUE(Inside(0, kH - 1)) << "a disabled style-3 button keeps its corners";
    EXPECT_TRUE(Inside(kW - 1, 0));
}

TEST_F(ButtonStyles, Style4And6Rings) {
    const OleColor grey = 0x808080, white = 0xFFFFFF;
    Style(4);
    ExpectRings(Rings(-1, -1, -1, -1, white, grey), kBack, "style 4 raised");
    button.reset();
    Style(4, {{"Mode", 1}, {"Value", true}});
    ExpectRings(Rings(-1, -1, -1, -1, grey, white), ShiftColor(0xFFFFFF, -32), "style 4 checked");

    const OleColor light = Rgb(231, 232, 232);
    button.reset();
    Style(6);
    ExpectRings(Rings(-1, -1, light, grey, light, grey), kBack, "style 6 normal");
    Hover(true);
    ExpectRings(Rings(-1, -1, grey, light, grey, light), kBack, "style 6 pushed");
}

TEST_F(ButtonStyles, SlantedRightSideRingsFollowTheSlant) {
    Make(60, 19, {{"BackStyle", 4}, {"Shape", 2}});
    ASSERT_EQ(button->TopRightX(), 40);
    // The outer right segment runs from (R, 0) to (W - 1, H): one pixel right per row.
    for (int y : {1, 9, 17}) {
        EXPECT_EQ(At(40 + y, y), 0x808080) << y;
        EXPECT_TRUE(Inside(40 + y, y)) << y;
        EXPECT_FALSE(Inside(41 + y, y)) << y;
    }
    EXPECT_EQ(At(0, 9), 0xFFFFFF) << "the left side stays upright";
}

TEST_F(ButtonStyles, Style5ShowsEdgesOnlyWhenHotAndKeepsTheFacePenForTheClosingLine) {
    const OleColor grey = 0x808080, white = 0xFFFFFF;
    Style(5);
    ExpectRings(Rings(-1, -1, -1, -1, -1, -1), kBack, "run time, not hot");
    Hover();
    ExpectRings(Rings(-1, -1, -1, -1, white, grey), kBack, "hot");

    // With a vertical gradient the closing line uses the last band's pen, which leaves the bottom row as
    // the gradient painted it.
    button.reset();
    const OleColor to = Rgb(20, 40, 200);
    Style(5, {{"Gradient", 3}, {"cGradient", to}});
    std::vector<OleColor> bands(kH);
    BuildGradientColors(bands, kBack, to);
    for (int x : {0, 1, kW / 2, kW - 2}) EXPECT_EQ(At(x, kH - 1), bands.back()) << x;
    EXPECT_EQ(At(kW / 2, 0), bands.front());
}

TEST_F(ButtonStyles, Style7OutlineAndCornerPixels) {
    Style(7);
    const OleColor face = ShiftColor(kBack, 31);
    const OleColor light = ShiftColor(face, 31, true), dark = ShiftColor(face, -64, true);
    ExpectRings(Rings(0xFFFFFF, face, light, dark, 0, 0), face, "normal");
    const int w = kW, h = kH;
    const struct {
        int x, y;
        OleColor c;
    } corners[] = {{3, 3, 0xFFFFFF},     {1, h - 3, face}, {2, 2, light},        {1, h - 2, 0},     {1, 1, 0},
                   {w - 4, h - 4, face}, {w - 3, 1, face}, {w - 3, h - 3, dark}, {w - 2, h - 2, 0}, {w - 2, 1, 0}};
    for (const auto& p : corners) EXPECT_EQ(At(p.x, p.y), p.c) << "corner pixel " << p.x << "," << p.y;

    button.reset();
    Style(7, {{"Mode", 1}, {"Value", true}});
    const OleColor g = 0x808080;  // state 2 without a gradient
    ExpectRings(Rings(ShiftColor(g, -32), g, ShiftColor(g, -64), ShiftColor(g, -16), 0, 0),
                ShiftColor(0x808080, 16, true), "checked");
}

TEST_F(ButtonStyles, CornerTrianglesCutThreePixelsAtEachCorner) {
    for (int style : {2, 7}) {
        Style(style);
        const int w = kW, h = kH;
        const std::pair<int, int> cut[] = {{0, 0},     {1, 0},         {0, 1},         {0, h - 1},
                                           {1, h - 1}, {0, h - 2},     {w - 1, 0},     {w - 2, 0},
                                           {w - 1, 1}, {w - 1, h - 1}, {w - 2, h - 1}, {w - 1, h - 2}};
        for (auto [x, y] : cut) EXPECT_FALSE(Inside(x, y)) << "style " << style << " " << x << "," << y;
        const std::pair<int, int> kept[] = {{2, 0},     {1, 1},         {0, 2},         {2, h - 1},
                                            {1, h - 2}, {0, h - 3},     {w - 3, 0},     {w - 2, 1},
                                            {w - 1, 2}, {w - 3, h - 1}, {w - 2, h - 2}, {w - 1, h - 3}};
        for (auto [x, y] : kept) EXPECT_TRUE(Inside(x, y)) << "style " << style << " " << x << "," << y;
        button.reset();
    }
    Style(0);
    for (auto [x, y] : {std::pair{0, 0}, {0, kH - 1}, {kW - 1, kH - 1}, {kW - 1, 0}}) EXPECT_TRUE(Inside(x, y));
}

TEST_F(ButtonStyles, OutOfRangeStyleAndDelayedDrawingCopyNothing) {
    Style(0);
    const OleColor before = At(kW / 2, kH / 2);
    button->DelayDrawing(true);
    button->SetBackColor(Rgb(10, 20, 30));
    EXPECT_EQ(At(kW / 2, kH / 2), before) << "nothing drawn while drawing is delayed";
    button->DelayDrawing(false);
    EXPECT_EQ(At(kW / 2, kH / 2), Rgb(10, 20, 30));
}

TEST_F(ButtonStyles, AButtonWithoutHeightStillRepaints) {
    // The shaded face steps 25 / H per row: without rows there is nothing to shade and nothing to divide.
    Make(30, 0, {{"BackStyle", 2}});
    const int before = button->RedrawCount();
    button->Refresh();
    EXPECT_EQ(button->RedrawCount(), before + 1);
    button->resize(30, 10);
    button->Refresh();
    EXPECT_EQ(At(15, 5), ShiftColor(ShiftColor(kBack, 48, true), -12, true)) << "row 5 of 10: 25 / 10 * 5 = 12.5";
}

TEST_F(ButtonStyles, CustomClickMovesTheButtonWhilePressed) {
    Make(40, 20, {{"CustomClick", 4}});
    const QPoint home = button->pos();
    Hover(true);
    EXPECT_EQ(button->pos(), home + QPoint(1, 1)) << "one right and one down while pressed";
    button->HostMouseUp(1, 0, 1, 1);
    EXPECT_EQ(button->pos(), home) << "back when released";
}

}  // namespace
}  // namespace corvane::buttons
