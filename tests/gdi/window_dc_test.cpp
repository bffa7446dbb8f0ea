// Window contexts (surface, clipping by the window's region, resizing, their end) and palettes.
#include <gtest/gtest.h>

#include "canvas_fixture.h"
#include "platform/gdi/blit.h"
#include "platform/gdi/palette.h"
#include "platform/gdi/region.h"
#include "platform/gdi/window_dc.h"

namespace corvane::gdi {
namespace {

constexpr COLORREF kGrey = RGB(212, 208, 200);
constexpr COLORREF kRed = RGB(255, 0, 0);

COLORREF PixelOf(const QImage& image, int x, int y) {
    const QRgb p = image.pixel(x, y);
    return RGB(qRed(p), qGreen(p), qBlue(p));
}

TEST(GdiWindowContext, DrawsOnItsOwnSurfaceAndEndsWithoutLeftovers) {
    const std::size_t before = LiveObjectCount();
    int taken = 0;
    const HDC dc = MakeWindowContext(8, 5, kGrey, [&] { ++taken; });
    ASSERT_TRUE(dc);
    EXPECT_EQ(GetPixel(dc, 7, 4), kGrey);
    EXPECT_EQ(taken, 0);  // reading is not drawing
    EXPECT_EQ(PatBlt(dc, 1, 1, 3, 2, BLACKNESS), TRUE);
    EXPECT_EQ(SetPixel(dc, 0, 0, kGrey), kGrey);
    EXPECT_EQ(taken, 2);  // every drawing call says so
    const QImage shown = WindowContextImage(dc);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(PixelOf(shown, x, y), x >= 1 && x <= 3 && y >= 1 && y <= 2 ? 0u : kGrey) << x << "," << y;

    {
        // The surface is the window's: no other bitmap goes in, the context is not deleted as a memory one.
        testing::Canvas other(2, 2);
        const HBITMAP loose = CreateCompatibleBitmap(dc, 2, 2);
        ASSERT_TRUE(loose);
        EXPECT_FALSE(SelectObject(dc, loose));
        EXPECT_FALSE(GetCurrentObject(dc, ObjectKind::bitmap));
        EXPECT_EQ(DeleteDC(dc), FALSE);
        EXPECT_EQ(EndWindowContext(other.dc()), FALSE);  // a memory context is not a window's
        EXPECT_EQ(ResizeWindowContext(other.dc(), 3, 3, 0), FALSE);
        // Copying from the window and compatible bitmaps work as with any colour context.
        EXPECT_EQ(BitBlt(other.dc(), 0, 0, 2, 2, dc, 1, 1, SRCCOPY), TRUE);
        EXPECT_EQ(other.at(0, 0), 0u);
        DeleteObject(loose);
    }

    // A pen and brush selected into it are released when it ends.
    const HPEN pen = CreatePen(PS_SOLID, 1, kRed);
    SelectObject(dc, pen);
    EXPECT_EQ(DeleteObject(pen), FALSE);
    EXPECT_EQ(EndWindowContext(dc), TRUE);
    EXPECT_EQ(DeleteObject(pen), TRUE);
    EXPECT_EQ(GetPixel(dc, 0, 0), CLR_INVALID);
    EXPECT_EQ(LiveObjectCount(), before);
}

TEST(GdiWindowContext, ResizingKeepsWhatStaysInsideAndFillsTheRest) {
    const HDC dc = MakeWindowContext(4, 3, kGrey, {});
    SetPixel(dc, 0, 0, kRed);
    SetPixel(dc, 3, 2, kRed);
    ASSERT_EQ(ResizeWindowContext(dc, 6, 2, RGB(1, 2, 3)), TRUE);
    const QImage shown = WindowContextImage(dc);
    ASSERT_EQ(shown.size(), QSize(6, 2));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 6; ++x) {
            const COLORREF expected = x >= 4 ? RGB(1, 2, 3) : (x == 0 && y == 0 ? kRed : kGrey);
            EXPECT_EQ(PixelOf(shown, x, y), expected) << x << "," << y;
        }
    // A window of no size has nothing to draw on until it grows.
    ASSERT_EQ(ResizeWindowContext(dc, 0, 2, 0), TRUE);
    EXPECT_EQ(PatBlt(dc, 0, 0, 1, 1, BLACKNESS), FALSE);
    ASSERT_EQ(ResizeWindowContext(dc, 2, 2, kGrey), TRUE);
    EXPECT_EQ(PatBlt(dc, 0, 0, 1, 1, BLACKNESS), TRUE);
    EndWindowContext(dc);
}

TEST(GdiWindowContext, TheWindowRegionClipsWhateverClipIsSelected) {
    const HDC dc = MakeWindowContext(10, 6, kGrey, {});
    const QRegion window = QRegion(0, 0, 10, 6).subtracted(QRegion(0, 0, 2, 2));  // top-left corner cut
    ASSERT_EQ(SetWindowContextRegion(dc, &window), TRUE);
    const HRGN right = CreateRectRgn(1, 0, 10, 6);
    EXPECT_EQ(SelectClipRgn(dc, right), COMPLEXREGION);  // the clip in force: both together
    const HBRUSH red = CreateSolidBrush(kRed);
    const RECT all{0, 0, 10, 6};
    FillRect(dc, &all, red);
    EXPECT_EQ(SelectClipRgn(dc, nullptr), COMPLEXREGION);  // the window's region stays
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    const QImage shown = WindowContextImage(dc);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x) {
            const bool inWindow = x >= 2 || y >= 2;
            EXPECT_EQ(PixelOf(shown, x, y), inWindow ? 0u : kGrey) << x << "," << y;
            EXPECT_EQ(GetPixel(dc, x, y), inWindow ? 0u : CLR_INVALID) << x << "," << y;
        }
    // Without a window region the selected clip alone decides.
    ASSERT_EQ(SetWindowContextRegion(dc, nullptr), TRUE);
    SelectClipRgn(dc, right);
    FillRect(dc, &all, red);
    EXPECT_EQ(GetPixel(dc, 1, 1), kRed);
    EXPECT_EQ(GetPixel(dc, 0, 1), CLR_INVALID);
    DeleteObject(right);
    DeleteObject(red);
    EndWindowContext(dc);
}

TEST(GdiPalette, SelectingAndRealisingAreAcceptedWithoutEffect) {
    testing::Canvas c(3, 3, kRed);
    const auto stock = static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE));
    ASSERT_TRUE(stock);
    EXPECT_EQ(SelectPalette(c.dc(), stock, FALSE), stock);  // a new context holds the default palette
    EXPECT_EQ(SelectPalette(c.dc(), nullptr, TRUE), stock);
    EXPECT_EQ(RealizePalette(c.dc()), 0u);
    EXPECT_EQ(c.at(1, 1), kRed);
    EXPECT_EQ(DeleteObject(stock), TRUE);  // stock objects stay
    EXPECT_EQ(SelectPalette(c.dc(), stock, FALSE), stock);
    // Not a palette, not a context: refused.
    const HPEN pen = CreatePen(PS_SOLID, 1, 0);
    EXPECT_FALSE(SelectPalette(c.dc(), HPALETTE(pen.value), FALSE));
    EXPECT_FALSE(SelectPalette(HDC(), stock, FALSE));
    EXPECT_EQ(RealizePalette(HDC()), GDI_ERROR);
    DeleteObject(pen);
}

}  // namespace
}  // namespace corvane::gdi
