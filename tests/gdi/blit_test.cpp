// Raster operations, format conversions and the transparent-picture sequence.
#include <gtest/gtest.h>

#include <random>

#include "canvas_fixture.h"
#include "platform/gdi/blit.h"
#include "platform/gdi/rop.h"

namespace corvane::gdi {
namespace {

TEST(GdiRop, NamedCodesMatchTheirBitFormulas) {
    std::mt19937 rng(11);
    struct Case {
        DWORD rop;
        std::uint32_t (*formula)(std::uint32_t p, std::uint32_t s, std::uint32_t d);
    };
    const Case cases[] = {
        {SRCCOPY, [](std::uint32_t, std::uint32_t s, std::uint32_t) { return s; }},
        {SRCPAINT, [](std::uint32_t, std::uint32_t s, std::uint32_t d) { return s | d; }},
        {SRCAND, [](std::uint32_t, std::uint32_t s, std::uint32_t d) { return s & d; }},
        {SRCINVERT, [](std::uint32_t, std::uint32_t s, std::uint32_t d) { return s ^ d; }},
        {SRCERASE, [](std::uint32_t, std::uint32_t s, std::uint32_t d) { return s & ~d; }},
        {NOTSRCCOPY, [](std::uint32_t, std::uint32_t s, std::uint32_t) { return ~s; }},
        {NOTSRCERASE, [](std::uint32_t, std::uint32_t s, std::uint32_t d) { return ~(s | d); }},
        {MERGECOPY, [](std::uint32_t p, std::uint32_t s, std::uint32_t) { return p & s; }},
        {MERGEPAINT, [](std::uint32_t, std::uint32_t s, std::uint32_t d) { return ~s | d; }},
        {PATCOPY, [](std::uint32_t p, std::uint32_t, std::uint32_t) { return p; }},
        {PATPAINT, [](std::uint32_t p, std::uint32_t s, std::uint32_t d) { return p | ~s | d; }},
        {PATINVERT, [](std::uint32_t p, std::uint32_t, std::uint32_t d) { return p ^ d; }},
        {DSTINVERT, [](std::uint32_t, std::uint32_t, std::uint32_t d) { return ~d; }},
        {BLACKNESS, [](std::uint32_t, std::uint32_t, std::uint32_t) { return 0u; }},
        {WHITENESS, [](std::uint32_t, std::uint32_t, std::uint32_t) { return ~0u; }},
        {0x00B8074A, [](std::uint32_t p, std::uint32_t s, std::uint32_t d) { return ((d ^ p) & s) ^ p; }},
        {0x00220326, [](std::uint32_t, std::uint32_t s, std::uint32_t d) { return d & ~s; }},
        {0x00E20746, [](std::uint32_t p, std::uint32_t s, std::uint32_t d) { return ((p ^ d) & s) ^ d; }},
    };
    for (const Case& c : cases)
        for (int i = 0; i < 50; ++i) {
            const std::uint32_t p = rng(), s = rng(), d = rng();
            EXPECT_EQ(EvaluateRop3(c.rop, p, s, d), c.formula(p, s, d)) << std::hex << c.rop;
        }
    EXPECT_TRUE(RopUsesSource(SRCAND));
    EXPECT_FALSE(RopUsesSource(PATINVERT));
    EXPECT_TRUE(RopUsesPattern(0x00B8074A));
    EXPECT_FALSE(RopUsesPattern(SRCPAINT));
    EXPECT_FALSE(RopUsesDestination(SRCCOPY));
    EXPECT_TRUE(RopUsesDestination(DSTINVERT));
}

TEST(GdiBlit, EveryRopThroughBitBltEqualsTheGenericEvaluation) {
    // All 256 truth tables, each on a row of random pixels, through the real transfer path.
    testing::Canvas src(8, 1), dst(8, 1);
    std::mt19937 rng(5);
    for (unsigned table = 0; table < 256; ++table) {
        const DWORD rop = table << 16;
        std::uint32_t s[8], d[8];
        const COLORREF brush = rng() & 0xFFFFFF;
        for (int x = 0; x < 8; ++x) {
            s[x] = SetPixel(src.dc(), x, 0, rng() & 0xFFFFFF);
            d[x] = SetPixel(dst.dc(), x, 0, rng() & 0xFFFFFF);
        }
        dst.tools(PS_SOLID, 1, 0, brush);
        ASSERT_EQ(BitBlt(dst.dc(), 0, 0, 8, 1, src.dc(), 0, 0, rop), TRUE);
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(dst.at(x, 0), EvaluateRop3(rop, brush, s[x], d[x]) & 0xFFFFFF) << std::hex << rop << " " << x;
    }
    EXPECT_EQ(PatBlt(dst.dc(), 0, 0, 1, 1, SRCCOPY), FALSE);  // PatBlt has no source
    EXPECT_EQ(BitBlt(dst.dc(), 0, 0, 1, 1, HDC(), 0, 0, SRCCOPY), FALSE);
}

TEST(GdiBlit, MonochromeAndColourConvertThroughTheContextColours) {
    // Colour to monochrome: the source's background colour becomes white, the rest black.
    testing::Canvas colour(3, 1);
    SetPixel(colour.dc(), 0, 0, RGB(10, 20, 30));
    SetPixel(colour.dc(), 1, 0, RGB(10, 20, 31));
    SetPixel(colour.dc(), 2, 0, RGB(255, 255, 255));
    SetBkColor(colour.dc(), RGB(10, 20, 30));
    testing::Canvas mono(3, 1, 0, true);
    BitBlt(mono.dc(), 0, 0, 3, 1, colour.dc(), 0, 0, SRCCOPY);
    EXPECT_EQ(mono.at(0, 0), 0xFFFFFFu);
    EXPECT_EQ(mono.at(1, 0), 0u);
    EXPECT_EQ(mono.at(2, 0), 0u);
    // Monochrome to colour: black takes the destination's text colour, white its background.
    testing::Canvas back(3, 1);
    SetTextColor(back.dc(), RGB(1, 2, 3));
    SetBkColor(back.dc(), RGB(200, 100, 50));
    BitBlt(back.dc(), 0, 0, 3, 1, mono.dc(), 0, 0, SRCCOPY);
    EXPECT_EQ(back.at(0, 0), RGB(200, 100, 50));
    EXPECT_EQ(back.at(1, 0), RGB(1, 2, 3));
    EXPECT_EQ(back.at(2, 0), RGB(1, 2, 3));
}

TEST(GdiBlit, MaskAndPaintSequenceGivesThePictureOnTheBackground) {
    // A picture whose key colour (top-left) is magenta, drawn transparently onto a striped
    // background with the mask sequence the button uses.
    constexpr int W = 6, H = 5;
    constexpr COLORREF key = RGB(255, 0, 255);
    testing::Canvas picture(W, H, key);
    std::mt19937 rng(9);
    for (int y = 1; y < H; ++y)
        for (int x = 0; x < W; ++x)
            if ((x + y) % 3) SetPixel(picture.dc(), x, y, rng() & 0x7F7F7F);
    testing::Canvas background(W, H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) SetPixel(background.dc(), x, y, RGB(x * 40, y * 50, 90));
    const QImage pictureBefore = BitmapImage(picture.bitmap()).copy();
    const QImage backgroundBefore = BitmapImage(background.bitmap()).copy();

    testing::Canvas mask(W, H, 0, true);
    SetBkColor(picture.dc(), key);
    BitBlt(mask.dc(), 0, 0, W, H, picture.dc(), 0, 0, SRCCOPY);  // white where transparent
    SetBkColor(picture.dc(), 0xFFFFFF);
    SetTextColor(picture.dc(), 0x000000);
    BitBlt(picture.dc(), 0, 0, W, H, mask.dc(), 0, 0, 0x00220326);  // black where the mask is white
    StretchBlt(background.dc(), 0, 0, W, H, mask.dc(), 0, 0, W, H, SRCAND);
    StretchBlt(background.dc(), 0, 0, W, H, picture.dc(), 0, 0, W, H, SRCPAINT);

    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const bool transparent = (pictureBefore.pixel(x, y) & 0xFFFFFF) == 0xFF00FF;
            const QRgb expected = transparent ? backgroundBefore.pixel(x, y) : pictureBefore.pixel(x, y);
            EXPECT_EQ(background.at(x, y), RGB(qRed(expected), qGreen(expected), qBlue(expected))) << x << "," << y;
        }
}

TEST(GdiBlit, StretchTakesTheSourcePixelUnderEachCentreAndMirrors) {
    testing::Canvas src(3, 2);
    for (int x = 0; x < 3; ++x) {
        SetPixel(src.dc(), x, 0, RGB(x + 1, 0, 0));
        SetPixel(src.dc(), x, 1, RGB(x + 1, 9, 0));
    }
    testing::Canvas dst(6, 4);
    ASSERT_EQ(StretchBlt(dst.dc(), 0, 0, 6, 4, src.dc(), 0, 0, 3, 2, SRCCOPY), TRUE);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(dst.at(x, y), RGB(x / 2 + 1, y / 2 ? 9 : 0, 0));
    // Opposite signs mirror: the destination's left column takes the source's right column.
    StretchBlt(dst.dc(), 5, 0, -6, 2, src.dc(), 0, 0, 3, 1, SRCCOPY);  // covers x = 0..5
    for (int x = 0; x < 6; ++x) EXPECT_EQ(dst.at(x, 0), RGB(3 - x / 2, 0, 0)) << x;
    // Destination pixels whose source falls outside the source bitmap stay as they were.
    testing::Canvas edge(4, 1, RGB(7, 7, 7));
    BitBlt(edge.dc(), 0, 0, 4, 1, src.dc(), 1, 0, SRCCOPY);
    EXPECT_EQ(edge.at(0, 0), RGB(2, 0, 0));
    EXPECT_EQ(edge.at(1, 0), RGB(3, 0, 0));
    EXPECT_EQ(edge.at(2, 0), RGB(7, 7, 7));
}

TEST(GdiBlit, ShrinkingFoldsPixelsByTheStretchMode) {
    // Six source columns onto three: columns {0,1}, {2,3}, {4,5} fall into destination 0, 1, 2.
    const COLORREF row[6] = {0x0F0F0F, 0xF0F0FF, 0xFFFFFF, 0x000000, 0x123456, 0x123456};
    testing::Canvas src(6, 1);
    for (int x = 0; x < 6; ++x) SetPixel(src.dc(), x, 0, row[x]);
    testing::Canvas dst(3, 1);
    EXPECT_EQ(GetStretchBltMode(dst.dc()), BLACKONWHITE);
    StretchBlt(dst.dc(), 0, 0, 3, 1, src.dc(), 0, 0, 6, 1, SRCCOPY);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(dst.at(i, 0), row[2 * i] & row[2 * i + 1]) << i;
    EXPECT_EQ(SetStretchBltMode(dst.dc(), WHITEONBLACK), BLACKONWHITE);
    StretchBlt(dst.dc(), 0, 0, 3, 1, src.dc(), 0, 0, 6, 1, SRCCOPY);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(dst.at(i, 0), row[2 * i] | row[2 * i + 1]) << i;
    SetStretchBltMode(dst.dc(), COLORONCOLOR);
    StretchBlt(dst.dc(), 0, 0, 3, 1, src.dc(), 0, 0, 6, 1, SRCCOPY);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(dst.at(i, 0), row[2 * i + 1]) << i;  // under the centre
    // Mirrored, the folded blocks come from the other end.
    SetStretchBltMode(dst.dc(), BLACKONWHITE);
    StretchBlt(dst.dc(), 2, 0, -3, 1, src.dc(), 0, 0, 6, 1, SRCCOPY);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(dst.at(2 - i, 0), row[2 * i] & row[2 * i + 1]) << i;
    EXPECT_EQ(SetStretchBltMode(dst.dc(), 0), 0);
}

TEST(GdiBlit, NegativeSizesCoverTheCoordinateAndThePixelsBeforeIt) {
    // x + width + 1 .. x, both axes: PatBlt(5, 4, -3, -2) covers x 3..5 and y 3..4.
    testing::Canvas c(8, 7);
    ASSERT_EQ(PatBlt(c.dc(), 5, 4, -3, -2, BLACKNESS), TRUE);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(c.at(x, y), x >= 3 && x <= 5 && y >= 3 && y <= 4 ? 0u : 0xFFFFFFu) << x << "," << y;

    testing::Canvas src(6, 2);
    for (int x = 0; x < 6; ++x) {
        SetPixel(src.dc(), x, 0, RGB(10 + x, 0, 0));
        SetPixel(src.dc(), x, 1, RGB(10 + x, 1, 0));
    }
    // BitBlt: both rectangles turn alike, so nothing is mirrored: dest 2..4 take source 1..3.
    testing::Canvas b(7, 2, RGB(7, 7, 7));
    ASSERT_EQ(BitBlt(b.dc(), 4, 1, -3, -2, src.dc(), 3, 1, SRCCOPY), TRUE);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 7; ++x)
            EXPECT_EQ(b.at(x, y), x >= 2 && x <= 4 ? RGB(10 + x - 1, y, 0) : RGB(7, 7, 7)) << x << "," << y;

    // StretchBlt mirrored by a negative source width: the source is 5 - 3 + 1 .. 5 = 3..5, read
    // backwards onto dest 0..2; a negative destination width reads it forwards onto 2..0.
    testing::Canvas m(4, 1, RGB(7, 7, 7));
    ASSERT_EQ(StretchBlt(m.dc(), 0, 0, 3, 1, src.dc(), 5, 0, -3, 1, SRCCOPY), TRUE);
    for (int x = 0; x < 3; ++x) EXPECT_EQ(m.at(x, 0), RGB(15 - x, 0, 0)) << x;
    EXPECT_EQ(m.at(3, 0), RGB(7, 7, 7));
    ASSERT_EQ(StretchBlt(m.dc(), 2, 0, -3, 1, src.dc(), 3, 0, 3, 1, SRCCOPY), TRUE);
    for (int x = 0; x < 3; ++x) EXPECT_EQ(m.at(x, 0), RGB(15 - x, 0, 0)) << x;
    // Both negative: not mirrored, dest 0..2 take source 3..5 in order; doubled in height.
    testing::Canvas d(4, 3, RGB(7, 7, 7));
    ASSERT_EQ(StretchBlt(d.dc(), 2, 1, -3, -2, src.dc(), 5, 0, -3, -1, SRCCOPY), TRUE);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(d.at(x, y), x <= 2 && y <= 1 ? RGB(13 + x, 0, 0) : RGB(7, 7, 7)) << x << "," << y;
}

TEST(GdiBlit, OverlappingCopyWithinOneBitmapReadsTheOldPixels) {
    testing::Canvas c(6, 1);
    for (int x = 0; x < 6; ++x) SetPixel(c.dc(), x, 0, RGB(x, 0, 0));
    BitBlt(c.dc(), 1, 0, 5, 1, c.dc(), 0, 0, SRCCOPY);
    for (int x = 1; x < 6; ++x) EXPECT_EQ(c.at(x, 0), RGB(x - 1, 0, 0));
    // The disabled-picture operation: where the picture is white the canvas stays, black gives the
    // brush colour.
    testing::Canvas canvas(2, 1, RGB(30, 60, 90));
    testing::Canvas pic(2, 1);
    SetPixel(pic.dc(), 1, 0, 0);
    canvas.tools(PS_SOLID, 1, 0, 0x808080);
    BitBlt(canvas.dc(), 0, 0, 2, 1, pic.dc(), 0, 0, 0x00B8074A);
    EXPECT_EQ(canvas.at(0, 0), RGB(30, 60, 90));
    EXPECT_EQ(canvas.at(1, 0), 0x808080u);
}

}  // namespace
}  // namespace corvane::gdi
