// Shapes and window regions, the caption and picture layout, and how pictures and captions are drawn:
// slanted widening, ellipses, custom shapes cut from a picture, the layout examples, transparent bitmaps,
// icons with alpha, the disabled look and embossed captions.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <cstring>
#include <set>

#include "drawn_button.h"
#include "platform/gdi/bitmap.h"
#include "platform/gdi/text.h"
#include "widgets/buttons/button_picture.h"

namespace corvane::buttons {
namespace {

using testing::DrawnButtonTest;
using testing::kBack;

constexpr QRgb kBlue = qRgb(0, 0, 255);
constexpr OleColor kBlueOle = Rgb(0, 0, 255);

// A w x h picture of `background` with a black block at (bx, by, bw, bh) and a blue block beside it.
QImage Blocks(int w, int h, QRgb background, QRect black, QRect blue = {}) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(background);
    QPainter p(&image);
    p.fillRect(black, Qt::black);
    if (!blue.isNull()) p.fillRect(blue, QColor(kBlue));
    return image;
}

QJsonValue Saved(QImage image, ButtonPicture::Kind kind = ButtonPicture::Kind::Bitmap) {
    return PictureToJson(MakePicture(std::move(image), kind));
}

class ButtonShapesAndLayout : public DrawnButtonTest {
protected:
    // The colours found in a rectangle of the window.
    std::set<OleColor> ColoursIn(gdi::RECT r) const {
        std::set<OleColor> found;
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x) found.insert(At(x, y));
        return found;
    }
    int LineHeight(const char* text) const {
        gdi::RECT r{0, 0, 1000, 1000};
        gdi::DrawTextA(button->CanvasDC(), text, static_cast<int>(std::strlen(text)), &r,
                       gdi::DT_CALCRECT | gdi::DT_WORDBREAK);
        return r.bottom - r.top;
    }
};

TEST_F(ButtonShapesAndLayout, SlantedShapesWidenAndSlantOnePixelPerPixel) {
    Make(20, 23, {{"Shape", 1}});
    EXPECT_EQ(W(), 30) << "20 and 25 leave 4 or less beside the slant of 24; 30 leaves 6";
    EXPECT_EQ(button->BottomLeftX(), 24);
    EXPECT_EQ(button->TopRightX(), 30);
    EXPECT_FALSE(Inside(0, 22)) << "left of the slant";
    EXPECT_TRUE(Inside(25, 22));
    EXPECT_TRUE(Inside(1, 0));
    EXPECT_TRUE(Inside(29, 12));

    button.reset();
    Make(60, 19, {{"Shape", 3}});
    EXPECT_EQ(W(), 60) << "wide enough already";
    EXPECT_EQ(button->BottomLeftX(), 20);
    EXPECT_EQ(button->TopRightX(), 40);
    EXPECT_FALSE(Inside(59, 1)) << "right of the upper slant";
    EXPECT_TRUE(Inside(57, 18)) << "the lower slant ends at the right edge";
    EXPECT_FALSE(Inside(0, 18));
}

TEST_F(ButtonShapesAndLayout, EllipsesClipTheWindow) {
    Make(41, 21, {{"Shape", 4}});
    EXPECT_FALSE(Inside(0, 0));
    EXPECT_FALSE(Inside(40, 20));
    EXPECT_TRUE(Inside(20, 10));
    EXPECT_TRUE(Inside(1, 10));
    const gdi::HRGN outer = button->OuterClipRegionCopy();
    ASSERT_TRUE(outer);
    EXPECT_FALSE(gdi::PtInRegion(outer, 0, 10)) << "the outer clip region lies one pixel inside";
    EXPECT_TRUE(gdi::PtInRegion(outer, 20, 10));
    gdi::DeleteObject(outer);
}

TEST_F(ButtonShapesAndLayout, CustomShapeIsCutFromAPictureWithAWhiteBackground) {
    QImage picture = Blocks(20, 10, qRgb(255, 255, 255), QRect(5, 2, 10, 6));
    picture.setPixel(1, 1, qRgb(253, 254, 252));   // within 3 of white: background too
    picture.setPixel(18, 8, qRgb(251, 255, 255));  // 4 away in red: part of the button
    Make(40, 40, {{"Image", Saved(picture)}, {"ImgSize", 48}, {"Shape", 8}});
    EXPECT_EQ(W(), 40) << "a picture twice as wide as high fills the width";
    EXPECT_EQ(H(), 20) << "and half the height";
    EXPECT_TRUE(Inside(15, 10)) << "the black block (scaled by 2) is the button";
    EXPECT_TRUE(Inside(10, 4));
    EXPECT_FALSE(Inside(9, 4));
    EXPECT_FALSE(Inside(2, 2)) << "near-white is background";
    EXPECT_FALSE(Inside(35, 2));
    EXPECT_TRUE(Inside(36, 16)) << "the pixel 4 away from white stays";

    // In the picture mask every background pixel is exactly white.
    const QImage mask = gdi::BitmapImage(button->PictureMask());
    ASSERT_EQ(mask.size(), QSize(40, 20));
    EXPECT_EQ(mask.pixel(2, 2), qRgb(255, 255, 255));
    EXPECT_EQ(mask.pixel(3, 3), qRgb(255, 255, 255));
    EXPECT_EQ(mask.pixel(36, 16), qRgb(251, 255, 255));
}

TEST_F(ButtonShapesAndLayout, LayoutExamples) {
    const QJsonValue picture = Saved(Blocks(16, 16, qRgb(255, 255, 255), QRect(4, 4, 8, 8)));
    Make(120, 30, {{"Caption", "Go"}, {"CapAlign", 0}, {"ImgAlign", 0}, {"Image", picture}, {"ImgSize", 16}});
    EXPECT_EQ(button->CaptionRect().left, 0 + 16 + 4 + 4);
    EXPECT_EQ(button->PictureRect().left, 4);
    EXPECT_EQ(button->PictureRect().top, (30 - 16) / 2);

    button.reset();
    Make(100, 60, {{"Caption", "Go"}, {"ImgAlign", 4}, {"Image", picture}, {"ImgSize", 32}});
    const int th = LineHeight("Go");
    ASSERT_GT(th, 0);
    const int top = (60 - (th + 32)) / 2;
    EXPECT_EQ(button->PictureRect().top, std::max(top, 4));
    EXPECT_EQ(button->PictureRect().left, (100 - 32) / 2);
    EXPECT_EQ(button->CaptionRect().top, std::max(top + 32 + 2, 4));

    button.reset();
    Make(100, 60, {{"Caption", "One||Two"}});
    EXPECT_EQ(button->CaptionRect().bottom - button->CaptionRect().top, 2 * LineHeight("One"))
        << "a \"||\" breaks the caption into two lines";
}

TEST_F(ButtonShapesAndLayout, BitmapsAreTransparentByTheirTopLeftPixel) {
    const QImage picture = Blocks(16, 16, qRgb(255, 0, 0), QRect(0, 0, 0, 0), QRect(4, 4, 8, 8));
    Make(60, 30, {{"Image", Saved(picture)}, {"ImgSize", 16}});
    const gdi::RECT r = button->PictureRect();
    EXPECT_EQ(At(r.left + 8, r.top + 8), kBlueOle);
    EXPECT_EQ(At(r.left + 1, r.top + 1), kBack) << "the red background lets the face show";
}

TEST_F(ButtonShapesAndLayout, IconsBlendByTheirAlpha) {
    QImage icon(16, 16, QImage::Format_ARGB32);
    icon.fill(qRgba(0, 0, 255, 128));
    Make(60, 30, {{"Image", Saved(icon, ButtonPicture::Kind::Icon)}, {"ImgSize", 16}});
    const gdi::RECT r = button->PictureRect();
    const auto blend = [](int icon, int face) { return (icon * 128 + face * 127 + 127) / 255; };
    EXPECT_EQ(At(r.left + 5, r.top + 5), Rgb(blend(0, 192), blend(0, 160), blend(255, 128)));
}

TEST_F(ButtonShapesAndLayout, DisabledPictureIsAGreySilhouette) {
    const QImage picture = Blocks(16, 16, qRgb(255, 255, 255), QRect(2, 2, 5, 5), QRect(9, 9, 5, 5));
    Make(60, 30, {{"Image", Saved(picture)}, {"ImgSize", 16}, {"Enabled", false}});
    const gdi::RECT r = button->PictureRect();
    EXPECT_EQ(At(r.left + 4, r.top + 4), 0x808080) << "black becomes grey";
    EXPECT_EQ(At(r.left + 15, r.top + 1), kBack) << "white leaves the face";
    // Other colours mix bit by bit: ((face xor grey) and picture) xor grey.
    const OleColor mixed = ((kBack ^ 0x808080) & kBlueOle) ^ 0x808080;
    EXPECT_EQ(At(r.left + 11, r.top + 11), mixed);
}

TEST_F(ButtonShapesAndLayout, DisabledAndEmbossedCaptions) {
    const QJsonObject big{{"name", "DejaVu Sans"}, {"size", 14}};
    Make(120, 40, {{"Caption", "HH"}, {"Enabled", false}, {"Font", big}});
    gdi::RECT around = button->CaptionRect();
    around.right += 2;
    around.bottom += 2;
    std::set<OleColor> colours = ColoursIn(around);
    EXPECT_TRUE(colours.count(0xFFFFFF)) << "white shadow one pixel down and right";
    EXPECT_TRUE(colours.count(0x808080)) << "grey text over it";
    EXPECT_FALSE(colours.count(0));

    button.reset();
    Make(120, 40, {{"Caption", "HH"}, {"Enabled", false}, {"Mode", 1}, {"Font", big}});
    colours = ColoursIn(button->CaptionRect());
    EXPECT_TRUE(colours.count(0x808080));
    EXPECT_FALSE(colours.count(0xFFFFFF)) << "a disabled check button draws its caption once, in grey";

    button.reset();
    Make(120, 40, {{"Caption", "HH"}, {"CapStyle", 2}, {"cBack", 0x808080}, {"cFore", 0}, {"Font", big}});
    around = button->CaptionRect();
    around.right += 2;
    around.bottom += 3;
    colours = ColoursIn(around);
    EXPECT_TRUE(colours.count(Rgb(168, 169, 169))) << "engraved: the upper-left copy";
    EXPECT_TRUE(colours.count(Rgb(88, 89, 89))) << "the lower-right copy";
    EXPECT_TRUE(colours.count(0)) << "the text itself";
}

}  // namespace
}  // namespace corvane::buttons
