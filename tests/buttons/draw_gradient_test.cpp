// DrawGradient on a canvas of the drawing platform.
#include <gtest/gtest.h>

#include <vector>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/get_object.h"
#include "platform/gdi/shapes.h"
#include "widgets/buttons/colors.h"
#include "widgets/buttons/draw_gradient.h"

namespace corvane::buttons {
namespace {

// A memory canvas of the given size, pre-filled with a marker colour; released at the end.
class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height) {
        const gdi::HDC screen = gdi::GetDC(nullptr);
        dc_ = gdi::CreateCompatibleDC(screen);
        bitmap_ = gdi::CreateCompatibleBitmap(screen, width, height);
        gdi::ReleaseDC(nullptr, screen);
        old_ = gdi::SelectObject(dc_, bitmap_);
        oldPen_ = gdi::GetCurrentObject(dc_, gdi::ObjectKind::pen);
        oldBrush_ = gdi::GetCurrentObject(dc_, gdi::ObjectKind::brush);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) gdi::SetPixel(dc_, x, y, kMarker);
    }
    ~Canvas() {
        // The gradient leaves its last tools selected: the canvas's owner deletes them.
        gdi::DeleteObject(gdi::SelectObject(dc_, oldPen_));
        gdi::DeleteObject(gdi::SelectObject(dc_, oldBrush_));
        gdi::SelectObject(dc_, old_);
        gdi::DeleteObject(bitmap_);
        gdi::DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    gdi::HDC dc() const { return dc_; }
    OleColor At(int x, int y) const { return static_cast<OleColor>(gdi::GetPixel(dc_, x, y)); }
    static constexpr gdi::COLORREF kMarker = 0x00ABCDEF;

private:
    int width_, height_;
    gdi::HDC dc_;
    gdi::HBITMAP bitmap_;
    gdi::HGDIOBJ old_, oldPen_, oldBrush_;
};

// The colour of the pen selected into a canvas.
gdi::COLORREF SelectedPenColor(gdi::HDC dc) {
    gdi::LOGPEN pen;
    if (gdi::GetObjectA(gdi::GetCurrentObject(dc, gdi::ObjectKind::pen), sizeof pen, &pen) == 0)
        return gdi::CLR_INVALID;
    return pen.lopnColor;
}

std::vector<OleColor> Bands(int count, OleColor from, OleColor to) {
    std::vector<OleColor> list(static_cast<std::size_t>(count));
    BuildGradientColors(list, from, to);
    return list;
}

TEST(DrawGradient, HorizontalModesRunFromTheirStartSide) {
    const OleColor from = Rgb(255, 0, 0), to = Rgb(0, 0, 255);
    const auto bands = Bands(40, from, to);
    const std::size_t liveBefore = gdi::LiveObjectCount();
    {
        Canvas canvas(40, 6);
        DrawGradient(canvas.dc(), 40, 6, 1, from, to, QSize(1024, 768));
        for (int x : {0, 1, 20, 39}) {
            EXPECT_EQ(canvas.At(x, 0), bands[static_cast<std::size_t>(x)]) << x;
            EXPECT_EQ(canvas.At(x, 5), bands[static_cast<std::size_t>(x)]) << x;
        }
        DrawGradient(canvas.dc(), 40, 6, 2, from, to, QSize(1024, 768));
        EXPECT_EQ(canvas.At(39, 3), from) << "mode 2 puts `from` in the rightmost column";
        EXPECT_EQ(canvas.At(0, 3), bands.back());
        EXPECT_EQ(SelectedPenColor(canvas.dc()), static_cast<gdi::COLORREF>(bands.front()))
            << "the last band's pen stays selected for the lines drawn after the face";
    }
    EXPECT_EQ(gdi::LiveObjectCount(), liveBefore) << "every brush and pen is released";
}

TEST(DrawGradient, TallButtonsGetTwoPixelBandsAndKeepTheOddRow) {
    const OleColor from = 0xFFFFFF, to = 0x808080;
    Canvas canvas(3, 301);
    DrawGradient(canvas.dc(), 3, 301, 3, from, to, QSize(1280, 1024));  // 1024 div 301 = 3: 150 bands of 2
    const auto bands = Bands(150, from, to);
    EXPECT_EQ(canvas.At(1, 0), from);
    EXPECT_EQ(canvas.At(1, 1), from);
    EXPECT_EQ(canvas.At(1, 2), bands[1]);
    EXPECT_EQ(canvas.At(1, 299), bands[149]);
    EXPECT_EQ(canvas.At(1, 300), static_cast<OleColor>(Canvas::kMarker)) << "the last odd row keeps the canvas";

    DrawGradient(canvas.dc(), 3, 301, 4, from, to, QSize(1280, 1024));
    EXPECT_EQ(canvas.At(0, 299), from) << "mode 4 starts at the bottom";
    EXPECT_EQ(canvas.At(0, 0), bands[149]);
}

}  // namespace
}  // namespace corvane::buttons
