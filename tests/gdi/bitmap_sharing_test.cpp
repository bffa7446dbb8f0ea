// Images handed out by the canvas and images handed to it are copies: drawing on the bitmap later
// changes neither.
#include <gtest/gtest.h>

#include "canvas_fixture.h"
#include "platform/gdi/bitmap.h"
#include "platform/gdi/window_dc.h"

namespace corvane::gdi {
namespace {

TEST(GdiBitmapSharing, ImagesInAndOutAreNotChangedByLaterDrawing) {
    testing::Canvas c(4, 3, RGB(10, 20, 30));
    const QImage before = BitmapImage(c.bitmap());
    SetPixel(c.dc(), 1, 1, RGB(200, 0, 0));
    EXPECT_EQ(before.pixel(1, 1) & 0xFFFFFFu, 0x0A141Eu);  // 0xRRGGBB of RGB(10, 20, 30)
    EXPECT_EQ(BitmapImage(c.bitmap()).pixel(1, 1) & 0xFFFFFFu, 0xC80000u);

    QImage source(3, 2, QImage::Format_RGB32);
    source.fill(0xFF112233u);
    const HBITMAP picture = CreateBitmapFromImage(source);
    const HDC dc = CreateCompatibleDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, picture);
    SetPixel(dc, 0, 0, 0);
    EXPECT_EQ(source.pixel(0, 0), 0xFF112233u);
    EXPECT_EQ(GetPixel(dc, 0, 0), 0u);
    SelectObject(dc, old);
    DeleteObject(picture);
    DeleteDC(dc);

    const HDC window = MakeWindowContext(2, 2, RGB(1, 2, 3), {});
    const QImage shown = WindowContextImage(window);
    SetPixel(window, 0, 0, RGB(9, 9, 9));
    EXPECT_EQ(shown.pixel(0, 0) & 0xFFFFFFu, 0x010203u);
    EndWindowContext(window);
}

}  // namespace
}  // namespace corvane::gdi
