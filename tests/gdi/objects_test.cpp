// Handles, selection, deletion and size limits of the drawing objects.
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "canvas_fixture.h"
#include "platform/gdi/bitmap.h"
#include "platform/gdi/blit.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/get_object.h"
#include "platform/gdi/pen_brush.h"
#include "platform/gdi/region.h"
#include "platform/gdi/shapes.h"

namespace corvane::gdi {
namespace {

TEST(GdiObjects, DeletedAndForgedHandlesFailWithoutHarm) {
    const std::size_t before = LiveObjectCount();
    const HPEN pen = CreatePen(PS_SOLID, 1, 0x123456);
    ASSERT_TRUE(pen);
    EXPECT_EQ(DeleteObject(pen), TRUE);
    EXPECT_EQ(DeleteObject(pen), FALSE);  // already gone

    const HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_FALSE(SelectObject(dc, pen));  // deleted pen
    EXPECT_FALSE(SelectObject(dc, HGDIOBJ(HPEN(0xDEADBEEF))));
    // A brush handle dressed up as a pen is still a brush; a context handle is not an object.
    const HBRUSH brush = CreateSolidBrush(0xFF);
    EXPECT_EQ(GetObjectA(HGDIOBJ(HPEN(brush.value)), sizeof(LOGPEN), nullptr), static_cast<int>(sizeof(LOGBRUSH)));
    EXPECT_EQ(DeleteObject(HGDIOBJ(HBITMAP(dc.value))), FALSE);
    EXPECT_EQ(DeleteObject(brush), TRUE);

    EXPECT_EQ(Rectangle(HDC(0x7FFF1234), 0, 0, 5, 5), FALSE);
    EXPECT_EQ(GetPixel(HDC(), 0, 0), CLR_INVALID);
    EXPECT_EQ(SetBkColor(HDC(42), 0), CLR_INVALID);
    EXPECT_EQ(DeleteDC(dc), TRUE);
    EXPECT_EQ(DeleteDC(dc), FALSE);
    EXPECT_EQ(SetTextColor(dc, 0), CLR_INVALID);
    // A deleted slot is reused under a new handle; the old one stays dead.
    const HRGN region = CreateRectRgn(0, 0, 1, 1);
    EXPECT_NE(region.value, dc.value);
    EXPECT_EQ(DeleteObject(region), TRUE);
    EXPECT_EQ(LiveObjectCount(), before);
}

TEST(GdiObjects, ASlotTakenOverServesOnlyItsNewObject) {
    // A freed pen, brush or one-rectangle region stays in its slot for the next of its kind: the old
    // handle must find nothing there, and the new object none of the old one's state.
    const HPEN oldPen = CreatePen(PS_DOT, 1, 0x010203);
    ASSERT_EQ(DeleteObject(oldPen), TRUE);
    const HPEN newPen = CreatePen(PS_SOLID, 3, 0x0A0B0C);
    LOGPEN got{};
    EXPECT_EQ(GetObjectA(newPen, sizeof got, &got), static_cast<int>(sizeof got));
    EXPECT_EQ(got.lopnStyle, static_cast<UINT>(PS_SOLID));
    EXPECT_EQ(got.lopnWidth.x, 3);
    EXPECT_EQ(got.lopnColor, 0x0A0B0Cu);
    EXPECT_EQ(GetObjectA(oldPen, sizeof got, &got), 0);
    EXPECT_EQ(DeleteObject(oldPen), FALSE);
    const HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_FALSE(SelectObject(dc, oldPen));

    // A region that became a list of rectangles is not kept; a one-rectangle region is, and the
    // region made in its place holds only its own rectangle.
    const HRGN wide = CreateRectRgn(0, 0, 10, 1);
    const HRGN gap = CreateRectRgn(12, 0, 14, 1);
    ASSERT_EQ(CombineRgn(wide, wide, gap, RGN_OR), COMPLEXREGION);
    ASSERT_EQ(DeleteObject(gap), TRUE);
    ASSERT_EQ(DeleteObject(wide), TRUE);
    const HRGN first = CreateRectRgn(3, 4, 5, 6);
    const HRGN second = CreateRectRgn(7, 8, 9, 10);
    RECT box{};
    EXPECT_EQ(GetRgnBox(first, &box), SIMPLEREGION);
    EXPECT_EQ(box.left, 3);
    EXPECT_EQ(box.bottom, 6);
    EXPECT_EQ(GetRgnBox(second, &box), SIMPLEREGION);
    EXPECT_EQ(box.left, 7);
    EXPECT_EQ(box.bottom, 10);
    EXPECT_EQ(GetRgnBox(wide, &box), ERROR);
    EXPECT_EQ(GetRgnBox(gap, &box), ERROR);

    // Selecting a new pen into a context draws with it, not with what its slot held before.
    const HBITMAP bitmap = CreateCompatibleBitmap(GetDC(nullptr), 4, 1);
    const HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    const HGDIOBJ stockPen = SelectObject(dc, newPen);
    SelectObject(dc, stockPen);
    ASSERT_EQ(DeleteObject(newPen), TRUE);
    const HPEN red = CreatePen(PS_SOLID, 1, 0x0000FF);
    SelectObject(dc, red);
    Rectangle(dc, 0, 0, 4, 1);
    EXPECT_EQ(GetPixel(dc, 2, 0), 0x0000FFu);
    DeleteObject(SelectObject(dc, stockPen));
    SelectObject(dc, oldBitmap);
    DeleteObject(bitmap);
    DeleteObject(first);
    DeleteObject(second);
    DeleteDC(dc);
}

TEST(GdiObjects, EachThreadHasItsOwnTableOpenedOnFirstUseAndClosedWhenItEnds) {
    const HPEN mine = CreatePen(PS_SOLID, 1, 0x112233);
    struct Seen {
        BOOL deleteBeforeAnyObject = TRUE;
        BOOL deleteOtherThreadsPen = TRUE;
        std::size_t liveAtStart = 99, liveAfter = 0;
        bool stockPen = false;
        int regionKind = 0;
    };
    const auto work = [&](Seen& seen) {
        // Nothing made here yet: a handle from another thread or a made-up one names nothing.
        seen.deleteBeforeAnyObject = DeleteObject(HGDIOBJ(HPEN(0x00010001)));
        seen.deleteOtherThreadsPen = DeleteObject(mine);
        seen.liveAtStart = LiveObjectCount();
        seen.stockPen = static_cast<bool>(GetStockObject(BLACK_PEN));
        // Objects that own memory (a bitmap's pixels, a region's list), left for the thread's end to free.
        const HDC dc = CreateCompatibleDC(nullptr);
        SelectObject(dc, CreateCompatibleBitmap(GetDC(nullptr), 64, 64));
        const HRGN all = CreateRectRgn(0, 0, 1, 1);
        for (int k = 1; k < 50; ++k) {
            const HRGN part = CreateRectRgn(3 * k, 0, 3 * k + 1, 1);
            CombineRgn(all, all, part, RGN_OR);
            DeleteObject(part);
        }
        seen.regionKind = CombineRgn(all, all, all, RGN_COPY);
        seen.liveAfter = LiveObjectCount();
    };
    for (int round = 0; round < 2; ++round) {  // the second thread starts from an empty table again
        Seen seen;
        std::thread(work, std::ref(seen)).join();
        EXPECT_EQ(seen.deleteBeforeAnyObject, FALSE);
        EXPECT_EQ(seen.deleteOtherThreadsPen, FALSE);
        EXPECT_EQ(seen.liveAtStart, 0u);
        EXPECT_TRUE(seen.stockPen);
        EXPECT_EQ(seen.regionKind, COMPLEXREGION);
        EXPECT_EQ(seen.liveAfter, 3u);  // the context, its bitmap and the region
    }
    LOGPEN still{};
    EXPECT_EQ(GetObjectA(mine, sizeof still, &still), static_cast<int>(sizeof still));  // this thread's own
    EXPECT_EQ(still.lopnColor, 0x112233u);
    DeleteObject(mine);
}

TEST(GdiObjects, AFullTableRefusesNewObjectsAndGivesFreedSlotsToAnyKind) {
    // In a thread of its own: a fresh table to fill.
    std::vector<HPEN> pens;
    std::size_t brushesMade = 0;
    bool oneMorePen = true, oneMoreBrush = true, regionWorks = false;
    std::thread([&] {
        while (const HPEN pen = CreatePen(PS_SOLID, 1, 0)) pens.push_back(pen);
        oneMorePen = static_cast<bool>(CreatePen(PS_SOLID, 1, 0));
        for (const HPEN pen : pens) DeleteObject(pen);
        // Every slot a pen left is there for a brush: as many brushes as there were pens.
        std::vector<HBRUSH> brushes;
        while (const HBRUSH brush = CreateSolidBrush(0xFF)) brushes.push_back(brush);
        brushesMade = brushes.size();
        oneMoreBrush = static_cast<bool>(CreateSolidBrush(0xFF));
        for (const HBRUSH brush : brushes) DeleteObject(brush);
        const HRGN region = CreateRectRgn(1, 2, 3, 4);
        RECT box{};
        regionWorks = GetRgnBox(region, &box) == SIMPLEREGION && box.left == 1 && box.bottom == 4;
        DeleteObject(region);
    }).join();
    EXPECT_GT(pens.size(), 65000u);
    EXPECT_FALSE(oneMorePen);
    EXPECT_EQ(brushesMade, pens.size());
    EXPECT_FALSE(oneMoreBrush);
    EXPECT_TRUE(regionWorks);
}

TEST(GdiObjects, SelectReturnsReplacedObjectAndSelectedObjectsCannotBeDeleted) {
    const std::size_t before = LiveObjectCount();
    const HDC dc = CreateCompatibleDC(nullptr);
    const HDC other = CreateCompatibleDC(nullptr);
    const HBITMAP bitmap = CreateCompatibleBitmap(GetDC(nullptr), 4, 4);
    const HPEN pen = CreatePen(PS_DOT, 1, 0x00FF00);
    const HBRUSH brush = CreateSolidBrush(0x0000FF);

    const HGDIOBJ firstBitmap = SelectObject(dc, bitmap);
    EXPECT_TRUE(firstBitmap);  // the context's original 1 x 1 bitmap
    EXPECT_EQ(static_cast<HPEN>(SelectObject(dc, pen)), static_cast<HPEN>(GetStockObject(BLACK_PEN)));
    EXPECT_EQ(static_cast<HBRUSH>(SelectObject(dc, brush)), static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    EXPECT_EQ(GetCurrentObject(dc, ObjectKind::pen), HGDIOBJ(pen));

    EXPECT_EQ(DeleteObject(bitmap), FALSE);
    EXPECT_EQ(DeleteObject(pen), FALSE);
    EXPECT_EQ(DeleteObject(brush), FALSE);
    EXPECT_FALSE(SelectObject(other, bitmap));  // a bitmap lives in one context at a time
    EXPECT_TRUE(SelectObject(other, pen));      // pens may be shared
    SelectObject(other, GetStockObject(BLACK_PEN));

    EXPECT_EQ(SelectObject(dc, firstBitmap), HGDIOBJ(bitmap));
    EXPECT_EQ(DeleteObject(bitmap), TRUE);
    // Deleting the context frees what it still holds.
    EXPECT_EQ(DeleteDC(dc), TRUE);
    EXPECT_EQ(DeleteObject(pen), TRUE);
    EXPECT_EQ(DeleteObject(brush), TRUE);
    EXPECT_EQ(DeleteObject(GetStockObject(WHITE_BRUSH)), TRUE);  // stock: left alone
    EXPECT_TRUE(SelectObject(other, GetStockObject(WHITE_BRUSH)));
    EXPECT_EQ(DeleteDC(other), TRUE);
    EXPECT_EQ(LiveObjectCount(), before);
}

TEST(GdiObjects, BitmapSizesAreCheckedBeforeAnyMemoryIsTaken) {
    const HDC screen = GetDC(nullptr);
    EXPECT_FALSE(CreateCompatibleBitmap(screen, 0, 0));
    EXPECT_FALSE(CreateCompatibleBitmap(screen, -5, 10));
    EXPECT_FALSE(CreateCompatibleBitmap(screen, 10, -1));
    EXPECT_FALSE(CreateCompatibleBitmap(screen, 16384, 16384));
    EXPECT_FALSE(CreateBitmap(16384, 16384, 1, 1, nullptr));
    EXPECT_FALSE(CreateBitmap(8, 8, 1, 24, nullptr));
    EXPECT_FALSE(CreateBitmap(8, 8, 2, 1, nullptr));
    EXPECT_FALSE(CreateCompatibleBitmap(HDC(), 4, 4));
    const HBITMAP small = CreateCompatibleBitmap(screen, 1, 1);
    EXPECT_FALSE(CopyImage(small, IMAGE_BITMAP, 16384, 16384, 0));
    EXPECT_FALSE(CopyImage(small, IMAGE_BITMAP, -1, 3, 0));
    EXPECT_FALSE(CreatePen(PS_SOLID, -1, 0));
    EXPECT_FALSE(CreatePen(77, 1, 0));
    EXPECT_EQ(DeleteObject(small), TRUE);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
}

TEST(GdiObjects, CompatibleBitmapFollowsTheContextFormatAndGetObjectReportsIt) {
    const HDC memory = CreateCompatibleDC(nullptr);
    // A fresh memory context holds a monochrome bitmap, so its compatible bitmaps are monochrome.
    const HBITMAP mono = CreateCompatibleBitmap(memory, 17, 3);
    const HBITMAP colour = CreateCompatibleBitmap(GetDC(nullptr), 17, 3);
    BITMAP info;
    ASSERT_EQ(GetObjectA(mono, sizeof info, &info), static_cast<int>(sizeof info));
    EXPECT_EQ(info.bmWidth, 17);
    EXPECT_EQ(info.bmHeight, 3);
    EXPECT_EQ(info.bmBitsPixel, 1);
    EXPECT_EQ(info.bmWidthBytes, 4);  // rows padded to 16 bits
    EXPECT_EQ(info.bmBits, nullptr);
    ASSERT_EQ(GetObjectA(colour, sizeof info, &info), static_cast<int>(sizeof info));
    EXPECT_EQ(info.bmBitsPixel, 32);
    EXPECT_EQ(info.bmWidthBytes, 68);
    EXPECT_EQ(GetObjectA(colour, 4, &info), 0);  // buffer too small
    SelectObject(memory, colour);
    const HBITMAP colourToo = CreateCompatibleBitmap(memory, 2, 2);
    ASSERT_EQ(GetObjectA(colourToo, sizeof info, &info), static_cast<int>(sizeof info));
    EXPECT_EQ(info.bmBitsPixel, 32);

    LOGPEN pen;
    const HPEN dotted = CreatePen(PS_DOT, 1, RGB(1, 2, 3));
    ASSERT_EQ(GetObjectA(dotted, sizeof pen, &pen), static_cast<int>(sizeof pen));
    EXPECT_EQ(pen.lopnStyle, static_cast<UINT>(PS_DOT));
    EXPECT_EQ(pen.lopnColor, RGB(1, 2, 3));
    const HRGN region = CreateRectRgn(0, 0, 1, 1);
    EXPECT_EQ(GetObjectA(region, sizeof pen, &pen), 0);  // regions have no description
    DeleteObject(region);

    DeleteDC(memory);
    for (HGDIOBJ o : {HGDIOBJ(mono), HGDIOBJ(colour), HGDIOBJ(colourToo), HGDIOBJ(dotted)})
        EXPECT_EQ(DeleteObject(o), TRUE);
}

// Bitmaps made again and again at the same sizes (as a repaint's temporary bitmaps are) start black
// every time, and an image taken from a bitmap keeps its pixels after the bitmap is deleted.
TEST(GdiObjects, NewBitmapsOfADeletedBitmapsSizeStartBlack) {
    const HDC dc = CreateCompatibleDC(nullptr);
    QImage taken;
    for (int round = 0; round < 3; ++round) {
        const HBITMAP colour = CreateCompatibleBitmap(GetDC(nullptr), 24, 24);
        const HBITMAP mono = CreateBitmap(24, 24, 1, 1, nullptr);
        for (const HBITMAP b : {colour, mono}) {
            const QImage fresh = BitmapImage(b);
            ASSERT_FALSE(fresh.isNull());
            for (int y = 0; y < 24; ++y)
                for (int x = 0; x < 24; ++x) ASSERT_EQ(fresh.pixel(x, y), 0xFF000000u) << round << " " << x << "," << y;
            const HGDIOBJ old = SelectObject(dc, b);
            ASSERT_TRUE(PatBlt(dc, 0, 0, 24, 24, WHITENESS));
            SelectObject(dc, old);
        }
        if (round == 0) taken = BitmapImage(colour);
        EXPECT_TRUE(DeleteObject(colour));
        EXPECT_TRUE(DeleteObject(mono));
    }
    // The image taken in the first round is still all white.
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x) ASSERT_EQ(taken.pixel(x, y), 0xFFFFFFFFu);
    DeleteDC(dc);
}

TEST(GdiObjects, CopyImageScalesByPixelCentres) {
    // 4 x 1 source with four distinct colours; scaled to 8 each doubles, to 2 takes columns 1 and 3.
    const std::uint32_t row[4] = {0x000001, 0x000002, 0x000003, 0x000004};
    const HBITMAP source = CreateBitmap(4, 1, 1, 32, row);
    const HBITMAP wide = CopyImage(source, IMAGE_BITMAP, 8, 2, 0);
    const HBITMAP narrow = CopyImage(source, IMAGE_BITMAP, 2, 0, 0);
    const QImage w = BitmapImage(wide);
    const QImage n = BitmapImage(narrow);
    ASSERT_EQ(w.size(), QSize(8, 2));
    ASSERT_EQ(n.size(), QSize(2, 1));
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(w.pixel(x, 0) & 0xFFFFFF, static_cast<QRgb>(x / 2 + 1)) << x;
        EXPECT_EQ(w.pixel(x, 1), w.pixel(x, 0));
    }
    EXPECT_EQ(n.pixel(0, 0) & 0xFFFFFF, 2u);
    EXPECT_EQ(n.pixel(1, 0) & 0xFFFFFF, 4u);
    for (HBITMAP b : {source, wide, narrow}) DeleteObject(b);
}

TEST(GdiObjects, CreateBitmapReadsPaddedMonochromeRowsAndColourWords) {
    // 10 x 2 monochrome: each row padded to one 16-bit word, leftmost pixel in the top bit, set
    // bits white.
    const unsigned char mono[] = {0xA0, 0x40, 0xFF, 0xC0};
    const HBITMAP m = CreateBitmap(10, 2, 1, 1, mono);
    const QImage mi = BitmapImage(m);
    for (int x = 0; x < 10; ++x) {
        const bool top = (x < 8 ? (0xA0 >> (7 - x)) : (0x40 >> (15 - x))) & 1;
        const bool bottom = (x < 8 ? (0xFF >> (7 - x)) : (0xC0 >> (15 - x))) & 1;
        EXPECT_EQ(mi.pixel(x, 0) & 0xFFFFFF, top ? 0xFFFFFFu : 0u) << x;
        EXPECT_EQ(mi.pixel(x, 1) & 0xFFFFFF, bottom ? 0xFFFFFFu : 0u) << x;
    }
    const std::uint32_t words[2] = {0x00112233, 0x00FFEEDD};  // 0x00RRGGBB
    const HBITMAP c = CreateBitmap(2, 1, 1, 32, words);
    const HDC dc = CreateCompatibleDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, c);
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(0x11, 0x22, 0x33));
    EXPECT_EQ(GetPixel(dc, 1, 0), RGB(0xFF, 0xEE, 0xDD));
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(m);
    DeleteObject(c);
}

TEST(GdiObjects, ContextSettingsReturnPreviousValues) {
    testing::Canvas c(2, 2);
    EXPECT_EQ(SetBkMode(c.dc(), NEWTRANSPARENT), OPAQUE);
    EXPECT_EQ(GetBkMode(c.dc()), NEWTRANSPARENT);
    EXPECT_EQ(SetBkMode(c.dc(), 9), 0);
    EXPECT_EQ(SetBkColor(c.dc(), 0xFF123456), 0xFFFFFFu);
    EXPECT_EQ(GetBkColor(c.dc()), 0x123456u);
    EXPECT_EQ(SetTextColor(c.dc(), 0x0000FF), 0u);
    EXPECT_EQ(GetMapMode(c.dc()), MM_TEXT);
    EXPECT_EQ(SetMapMode(c.dc(), MM_TWIPS), 0);  // device pixels only
    EXPECT_EQ(SetMapMode(c.dc(), MM_TEXT), MM_TEXT);
}

}  // namespace
}  // namespace corvane::gdi
