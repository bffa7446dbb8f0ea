// The window level the buttons draw on: a window's device context, its region (painting, input and
// drawing limited to it), its rectangle and its movement.
#include <gtest/gtest.h>
#include <QApplication>
#include <QWidget>

#include "button_test_support.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/pen_brush.h"
#include "platform/gdi/region.h"
#include "platform/gdi/shapes.h"
#include "platform/window_gdi.h"

namespace corvane::buttons {
namespace {

using testing::App;
using testing::WaitUntil;

constexpr gdi::COLORREF kRed = gdi::RGB(255, 0, 0);
constexpr QRgb kFormColour = 0xFF204060;

// A shown form with one child window at (10, 20), 40 x 30.
class WindowLevelTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        form = std::make_unique<QWidget>();
        QPalette palette = form->palette();
        palette.setColor(QPalette::Window, QColor::fromRgb(kFormColour));
        form->setPalette(palette);
        form->setAutoFillBackground(true);
        form->setGeometry(100, 50, 120, 90);
        child = new QWidget(form.get());
        child->setGeometry(10, 20, 40, 30);
        form->show();
        ASSERT_TRUE(WaitUntil([&] { return form->isVisible(); }));
        handle = platform::HandleOf(child);
    }

    std::unique_ptr<QWidget> form;
    QWidget* child = nullptr;  // owned by the form
    platform::WindowHandle handle = 0;
};

TEST_F(WindowLevelTest, ContextDrawsOnTheWindowAndLastsAsLongAsIt) {
    const gdi::HDC dc = platform::GetDC(handle);
    ASSERT_TRUE(dc);
    EXPECT_EQ(platform::GetDC(handle), dc);  // the same context every time
    EXPECT_EQ(platform::ReleaseDC(handle, dc), 1);
    EXPECT_EQ(platform::ReleaseDC(platform::HandleOf(form.get()), dc), 0);  // not that window's
    EXPECT_EQ(platform::GetDC(0), gdi::GetDC(nullptr));

    // The window's context starts in the window's background; what is drawn shows in the window.
    EXPECT_EQ(gdi::GetPixel(dc, 39, 29), gdi::RGB(qRed(kFormColour), qGreen(kFormColour), qBlue(kFormColour)));
    const gdi::HBRUSH red = gdi::CreateSolidBrush(kRed);
    const gdi::RECT box{5, 6, 15, 12};
    ASSERT_EQ(gdi::FillRect(dc, &box, red), gdi::TRUE);
    gdi::DeleteObject(red);
    QApplication::processEvents();
    const QImage shown = child->grab().toImage();
    ASSERT_EQ(shown.size(), QSize(40, 30));
    for (int y = 0; y < 30; y += 1)
        for (int x = 0; x < 40; x += 1) {
            const bool inBox = x >= 5 && x < 15 && y >= 6 && y < 12;
            EXPECT_EQ(shown.pixel(x, y), inBox ? 0xFFFF0000u : kFormColour) << x << "," << y;
        }
    // The view of the surface takes no mouse input: the window itself is under the point.
    EXPECT_EQ(form->childAt(12, 25), child);

    // It follows the window's size and ends with the window.
    child->resize(50, 35);
    EXPECT_EQ(platform::GetDC(handle), dc);
    EXPECT_EQ(gdi::GetPixel(dc, 49, 34), gdi::RGB(qRed(kFormColour), qGreen(kFormColour), qBlue(kFormColour)));
    EXPECT_EQ(gdi::GetPixel(dc, 6, 7), kRed);
    delete child;
    child = nullptr;
    EXPECT_EQ(gdi::GetPixel(dc, 6, 7), gdi::CLR_INVALID);
    EXPECT_FALSE(platform::GetDC(handle));
}

TEST_F(WindowLevelTest, RegionLimitsPaintingInputAndDrawing) {
    const gdi::HDC dc = platform::GetDC(handle);
    // No region yet: asking for one is an error.
    const gdi::HRGN out = gdi::CreateRectRgn(0, 0, 0, 0);
    EXPECT_EQ(platform::GetWindowRgn(handle, out), gdi::ERROR);

    const gdi::HRGN ellipse = gdi::CreateEllipticRgn(0, 0, 40, 30);
    ASSERT_NE(platform::SetWindowRgn(handle, ellipse, gdi::TRUE), 0);
    EXPECT_EQ(gdi::DeleteObject(ellipse), gdi::FALSE);  // the window owns it: the handle is gone

    // A copy comes back, as many times as asked; changing the copy leaves the window's.
    const gdi::HRGN expected = gdi::CreateEllipticRgn(0, 0, 40, 30);
    EXPECT_EQ(platform::GetWindowRgn(handle, out), gdi::COMPLEXREGION);
    EXPECT_TRUE(gdi::EqualRgn(out, expected));
    gdi::OffsetRgn(out, 3, 3);
    EXPECT_EQ(platform::GetWindowRgn(handle, out), gdi::COMPLEXREGION);
    EXPECT_TRUE(gdi::EqualRgn(out, expected));
    EXPECT_EQ(platform::GetWindowRgn(handle, gdi::HRGN()), gdi::ERROR);

    // Painting and input: the widget's mask is the region; outside it the form takes the point.
    EXPECT_EQ(child->mask(), gdi::RegionToQRegion(expected));
    EXPECT_EQ(form->childAt(10 + 20, 20 + 15), child);
    EXPECT_EQ(form->childAt(10 + 0, 20 + 0), nullptr);
    EXPECT_EQ(form->childAt(10 + 39, 20 + 29), nullptr);
    // Drawing on the window's context keeps to the region.
    const gdi::HBRUSH red = gdi::CreateSolidBrush(kRed);
    const gdi::RECT all{0, 0, 40, 30};
    gdi::FillRect(dc, &all, red);
    gdi::DeleteObject(red);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            EXPECT_EQ(gdi::GetPixel(dc, x, y), gdi::PtInRegion(expected, x, y) ? kRed : gdi::CLR_INVALID)
                << x << "," << y;

    // An empty region leaves nothing of the window; none at all gives the whole window back.
    ASSERT_NE(platform::SetWindowRgn(handle, gdi::CreateRectRgn(0, 0, 0, 0), gdi::FALSE), 0);
    EXPECT_EQ(form->childAt(10 + 20, 20 + 15), nullptr);
    EXPECT_EQ(platform::GetWindowRgn(handle, out), gdi::NULLREGION);
    ASSERT_NE(platform::SetWindowRgn(handle, gdi::HRGN(), gdi::TRUE), 0);
    EXPECT_EQ(platform::GetWindowRgn(handle, out), gdi::ERROR);
    EXPECT_EQ(form->childAt(10 + 0, 20 + 0), child);
    EXPECT_EQ(gdi::GetPixel(dc, 0, 0), gdi::RGB(qRed(kFormColour), qGreen(kFormColour), qBlue(kFormColour)));

    // Refused: a dead region handle (the caller keeps a live one when the window is gone).
    EXPECT_EQ(platform::SetWindowRgn(handle, ellipse, gdi::TRUE), 0);
    const gdi::HRGN kept = gdi::CreateRectRgn(0, 0, 5, 5);
    EXPECT_EQ(platform::SetWindowRgn(platform::WindowHandle{999999}, kept, gdi::TRUE), 0);
    EXPECT_EQ(gdi::DeleteObject(kept), gdi::TRUE);
    gdi::DeleteObject(out);
    gdi::DeleteObject(expected);
}

TEST_F(WindowLevelTest, WindowRectIsOnTheScreenAndMoveWindowMovesByWholePixels) {
    gdi::RECT r;
    ASSERT_EQ(platform::GetWindowRect(handle, &r), gdi::TRUE);
    const QPoint origin = form->mapToGlobal(QPoint(10, 20));
    EXPECT_EQ(r, (gdi::RECT{origin.x(), origin.y(), origin.x() + 40, origin.y() + 30}));
    // The way a pressed button shifts: screen rectangle to the container's client coordinates, one
    // pixel right and down.
    platform::Point topLeft{r.left, r.top};
    ASSERT_TRUE(platform::ScreenToClient(platform::HandleOf(form.get()), topLeft));
    EXPECT_EQ(topLeft, (platform::Point{10, 20}));
    ASSERT_EQ(platform::MoveWindow(handle, topLeft.x + 1, topLeft.y + 1, 40, 30, gdi::TRUE), gdi::TRUE);
    EXPECT_EQ(child->geometry(), QRect(11, 21, 40, 30));
    gdi::RECT moved;
    platform::GetWindowRect(handle, &moved);
    EXPECT_EQ(moved, (gdi::RECT{r.left + 1, r.top + 1, r.right + 1, r.bottom + 1}));
    ASSERT_EQ(platform::MoveWindow(handle, 0, 0, -5, 7, gdi::FALSE), gdi::TRUE);
    EXPECT_EQ(child->geometry(), QRect(0, 0, 0, 7));
    // A top-level window: the rectangle handed back moves it without changing its size.
    const platform::WindowHandle top = platform::HandleOf(form.get());
    gdi::RECT outer;
    ASSERT_EQ(platform::GetWindowRect(top, &outer), gdi::TRUE);
    const QSize inner = form->size();
    ASSERT_EQ(platform::MoveWindow(top, outer.left + 7, outer.top, outer.right - outer.left, outer.bottom - outer.top,
                                   gdi::TRUE),
              gdi::TRUE);
    EXPECT_EQ(form->size(), inner);
    gdi::RECT after;
    platform::GetWindowRect(top, &after);
    EXPECT_EQ(after.left, outer.left + 7);
    EXPECT_EQ(platform::GetWindowRect(platform::WindowHandle{999999}, &after), gdi::FALSE);
    EXPECT_EQ(platform::MoveWindow(platform::WindowHandle{999999}, 0, 0, 1, 1, gdi::TRUE), gdi::FALSE);
}

TEST_F(WindowLevelTest, ButtonHandsOutItsWindowsContext) {
    zqButtons_H button(form.get());
    button.resize(30, 20);
    button.InitNewInstance();
    ASSERT_TRUE(button.hDC());
    EXPECT_EQ(button.hDC(), platform::GetDC(button.hwnd()));
    EXPECT_NE(gdi::GetPixel(button.hDC(), 29, 19), gdi::CLR_INVALID);
    EXPECT_EQ(gdi::GetPixel(button.hDC(), 30, 19), gdi::CLR_INVALID);
}

}  // namespace
}  // namespace corvane::buttons
