// The frames Redraw draws on the window after the copy (elliptic and custom shapes), and the focus marks.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "drawn_button.h"
#include "widgets/buttons/button_picture.h"

namespace corvane::buttons {
namespace {

using testing::DrawnButtonTest;
using testing::kBack;

class ButtonFramesAndFocus : public DrawnButtonTest {};

TEST_F(ButtonFramesAndFocus, EllipsesAreFramedOnTheWindow) {
    constexpr int w = 41, h = 21;
    Make(w, h, {{"BackStyle", 2}, {"Shape", 4}});
    // The ends of the middle row of the outer clip region are on its border.
    const gdi::HRGN outer = button->OuterClipRegionCopy();
    ASSERT_TRUE(outer);
    int first = -1, last = -1;
    for (int x = 0; x < w; ++x)
        if (gdi::PtInRegion(outer, x, h / 2)) {
            if (first < 0) first = x;
            last = x;
        }
    gdi::DeleteObject(outer);
    ASSERT_GT(first, 0);
    ASSERT_LT(last, w - 1);
    const OleColor normal = At(first, h / 2);
    Hover();
    EXPECT_EQ(At(first, h / 2), Rgb(231, 150, 0)) << "hot: the outer clip region's border in the hot accent";
    EXPECT_EQ(At(last, h / 2), Rgb(231, 150, 0));
    EXPECT_NE(At(last + 1, h / 2), Rgb(231, 150, 0)) << "only the border";
    EXPECT_NE(normal, Rgb(231, 150, 0));

    button.reset();
    Make(w, h, {{"BackStyle", 2}, {"Shape", 4}});
    Focus();
    EXPECT_EQ(At(first, h / 2), Rgb(107, 130, 239)) << "focus: the blue accent";

    button.reset();
    Make(w, h, {{"BackStyle", 0}, {"Shape", 6}});
    Hover();
    EXPECT_EQ(At(0, h / 2), 0) << "shape 6 under the pointer: the window region framed in black";
    EXPECT_EQ(At(w / 2, 0), 0);
}

TEST_F(ButtonFramesAndFocus, CustomShapeUnderThePointerIsFramedInTheHotFace) {
    QImage picture(20, 20, QImage::Format_RGB32);
    picture.fill(Qt::white);
    QPainter(&picture).fillRect(QRect(4, 4, 12, 12), Qt::black);
    const QJsonValue saved = PictureToJson(MakePicture(picture));
    const OleColor hot = Rgb(250, 20, 20);
    Make(40, 40, {{"Image", saved}, {"ImgSize", 48}, {"Shape", 7}, {"cBHover", hot}, {"LockHover", 3}});
    // The cut-out starts at the scaled block: (8, 8) is its top-left pixel, on the region's border.
    ASSERT_TRUE(Inside(8, 8));
    ASSERT_FALSE(Inside(7, 8));
    EXPECT_EQ(At(8, 20), kBack) << "not hot: framed in the back colour on the canvas";
    Hover();
    EXPECT_EQ(At(8, 20), hot);
    EXPECT_EQ(At(20, 8), hot);
}

TEST_F(ButtonFramesAndFocus, FocusRectangleIsDottedByInversion) {
    constexpr int w = 50, h = 24;
    Make(w, h, {{"BackStyle", 4}});
    const OleColor inverted = kBack ^ 0xFFFFFF;
    EXPECT_EQ(At(4, 4), kBack);
    Focus();
    // Style 4 draws the mark on (4, 4, W-4, H-4): every frame pixel whose x + y is even is inverted.
    EXPECT_EQ(At(4, 4), inverted);
    EXPECT_EQ(At(5, 4), kBack);
    EXPECT_EQ(At(6, 4), inverted);
    EXPECT_EQ(At(w - 5, 5), inverted);
    EXPECT_EQ(At(10, h - 5), kBack) << "10 + 19 is odd";
    EXPECT_EQ(At(11, h - 5), inverted);
}

TEST_F(ButtonFramesAndFocus, CheckedButtonsDrawTheFocusAsALine) {
    constexpr int w = 50, h = 24;
    Make(w, h, {{"BackStyle", 4}, {"Mode", 1}, {"Value", true}});
    Focus();
    // Polyline (L+4, H-4) -> (L+4, 4) -> (R-4, 4) -> (R-4, H-4) -> back, in black.
    EXPECT_EQ(At(4, 10), 0);
    EXPECT_EQ(At(20, 4), 0);
    EXPECT_EQ(At(w - 4, 10), 0);
    EXPECT_EQ(At(20, h - 4), 0);
}

TEST_F(ButtonFramesAndFocus, SlantedFocusFollowsTheSlant) {
    Make(60, 19, {{"BackStyle", 4}, {"Shape", 3}});
    Focus();
    const int l = button->BottomLeftX(), r = button->TopRightX(), w = W(), h = H();
    const OleColor mark = ShiftColor(kBack, -48);
    // Points (L+4-6, H-5), (4+4, 4), (R-5+4, 4), (W-5-6, H-5): the top segment and the bottom segment.
    EXPECT_EQ(At((8 + r - 1) / 2, 4), mark);
    EXPECT_EQ(At((l - 2 + w - 11) / 2, h - 5), mark);
}

TEST_F(ButtonFramesAndFocus, TheWidgetShowsItsWindowAndTakesItsRegionAsMask) {
    Make(60, 19, {{"BackStyle", 7}, {"Shape", 1}, {"Caption", "Go"}});
    form->show();
    const QImage shown = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(shown.size(), QSize(W(), H()));
    for (auto [x, y] : {std::pair{30, 9}, {W() - 1, 5}, {25, 17}, {W() / 2, 0}})
        EXPECT_EQ(shown.pixel(x, y) & 0xFFFFFFu,
                  qRgb(At(x, y) & 0xFF, (At(x, y) >> 8) & 0xFF, (At(x, y) >> 16) & 0xFF) & 0xFFFFFFu)
            << x << "," << y;
    EXPECT_FALSE(button->mask().contains(QPoint(0, 17))) << "input and painting are clipped to the region";
    EXPECT_TRUE(button->mask().contains(QPoint(30, 9)));
    EXPECT_TRUE(button->hDC());
}

}  // namespace
}  // namespace corvane::buttons
