// The shapes of zqButtons_H: the window region of each of the nine shapes, the clip regions that frame
// elliptic and custom shapes, the slant of the slanted shapes (which may widen the button), and custom
// shapes cut out of the picture by its background colour.
#include <cmath>
#include <cstdlib>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/pen_brush.h"
#include "platform/gdi/rect.h"
#include "platform/gdi/region.h"
#include "platform/gdi/shapes.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

void Subtract(gdi::HRGN region, gdi::HRGN cut) {
    if (!cut) return;
    static_cast<void>(gdi::CombineRgn(region, region, cut, gdi::RGN_DIFF));
    static_cast<void>(gdi::DeleteObject(cut));
}

void SubtractRect(gdi::HRGN region, int left, int top, int right, int bottom) {
    Subtract(region, gdi::CreateRectRgn(left, top, right, bottom));
}

void SubtractTriangle(gdi::HRGN region, gdi::POINT a, gdi::POINT b, gdi::POINT c) {
    const gdi::POINT points[3] = {a, b, c};
    Subtract(region, gdi::CreatePolygonRgn(points, 3, gdi::WINDING));
}

}  // namespace

void zqButtons_H::DeleteClipRegions() {
    if (outerClipRegion_) static_cast<void>(gdi::DeleteObject(outerClipRegion_));
    if (innerClipRegion_) static_cast<void>(gdi::DeleteObject(innerClipRegion_));
    outerClipRegion_ = nullptr;
    innerClipRegion_ = nullptr;
}

void zqButtons_H::CutCorners(gdi::HRGN region, bool left, bool right, int w, int h) const {
    switch (buttonStyle_) {
        case 1:
            if (left) {
                SubtractRect(region, 0, 0, 1, 1);
                SubtractRect(region, 0, h - 1, 1, h);
            }
            if (right) {
                SubtractRect(region, w - 1, h - 1, w, h);
                SubtractRect(region, w - 1, 0, w, 1);
            }
            break;
        case 2:
        case 7:
            if (left) {
                SubtractTriangle(region, {0, 0}, {2, 0}, {0, 2});
                SubtractTriangle(region, {0, h}, {3, h}, {0, h - 3});
            }
            if (right) {
                SubtractTriangle(region, {w, 0}, {w - 2, 0}, {w, 2});
                SubtractTriangle(region, {w, h}, {w - 3, h}, {w, h - 3});
            }
            break;
        case 3:
            if (!Enabled()) break;
            if (left) SubtractRect(region, 0, h - 1, 1, h);
            if (right) SubtractRect(region, w - 1, 0, w, 1);
            break;
        default:
            break;
    }
}

void zqButtons_H::BuildRegions() {
    int w = InnerWidth();
    const int h = InnerHeight();
    bottomLeftX_ = 0;
    topRightX_ = w;
    static_cast<void>(gdi::SelectClipRgn(canvasDC_, nullptr));
    DeleteClipRegions();

    gdi::HRGN region;
    switch (buttonShape_) {
        case 0:
            region = gdi::CreateRectRgn(0, 0, w + 1, h + 1);
            if (region) CutCorners(region, true, true, w, h);
            break;
        case 1:
        case 2:
        case 3: {
            // The slanted side rises one pixel per pixel.
            const int d = static_cast<int>(std::nearbyint(static_cast<float>(h + 1) / 4.0F * 4.0F));
            int x = w;
            while (x - d <= 4) x += 5;
            if (x != w) {
                delayDrawing_ = true;
                resize(x, height());
                w = InnerWidth();
                topRightX_ = w;
                delayDrawing_ = false;  // cleared directly: no repaint here
            }
            gdi::POINT points[4] = {{0, 0}, {0, h + 1}, {w + 1, h + 1}, {w + 1, 0}};
            if (buttonShape_ == 1 || buttonShape_ == 3) {
                points[1] = {d, h + 1};
                bottomLeftX_ = d;
            }
            if (buttonShape_ == 2 || buttonShape_ == 3) {
                points[3] = {w - d + 1, 0};
                topRightX_ = w - d;
            }
            region = gdi::CreatePolygonRgn(points, 4, gdi::WINDING);
            if (region) CutCorners(region, buttonShape_ == 2, buttonShape_ == 1, w, h);
            break;
        }
        case 4:
        case 5:
        case 6:
            region = gdi::CreateEllipticRgn(0, 0, w, h);
            if (buttonStyle_ != 5) {
                if (buttonShape_ != 6) {
                    DrawGradientFixed(0xFFFFFF, 0x808080);
                } else {
                    const gdi::HBRUSH black = gdi::CreateSolidBrush(0);
                    static_cast<void>(gdi::FrameRgn(canvasDC_, region, black, 1, 1));
                    static_cast<void>(gdi::DeleteObject(black));
                }
                static_cast<void>(gdi::SelectClipRgn(canvasDC_, nullptr));
            }
            outerClipRegion_ = gdi::CreateEllipticRgn(1, 1, w - 1, h - 1);
            innerClipRegion_ = gdi::CreateEllipticRgn(2, 2, w - 2, h - 2);
            break;
        default: {
            if (pictureWidth_ == 0 || pictureHeight_ == 0) return;  // the window keeps its region
            delayDrawing_ = true;
            int fw = 0, fh = 0;
            FitPicture(w, h, fw, fh);
            resize(fw, fh);
            w = InnerWidth();
            topRightX_ = w;
            delayDrawing_ = false;
            region = gdi::CreateRectRgn(0, 0, w, InnerHeight());
            MakePictureRegion(w, InnerHeight(), region);
            gdi::RECT all, box;
            static_cast<void>(gdi::GetRgnBox(region, &all));
            if (outerClipRegion_ && gdi::GetRgnBox(outerClipRegion_, &box) != gdi::ERROR)
                static_cast<void>(gdi::OffsetRgn(outerClipRegion_, all.left + 1 - box.left, all.top + 1 - box.top));
            if (innerClipRegion_ && gdi::GetRgnBox(innerClipRegion_, &box) != gdi::ERROR)
                static_cast<void>(gdi::OffsetRgn(innerClipRegion_, all.left + 2 - box.left, all.top + 2 - box.top));
            if (buttonShape_ == 8) {
                DrawGradientFixed(0xFFFFFF, 0x808080);
            } else {
                const gdi::HBRUSH back = gdi::CreateSolidBrush(static_cast<gdi::COLORREF>(TranslateColor(backColor_)));
                static_cast<void>(gdi::FrameRgn(canvasDC_, region, back, 1, 1));
                static_cast<void>(gdi::DeleteObject(back));
            }
            static_cast<void>(gdi::SelectClipRgn(canvasDC_, outerClipRegion_));
            break;
        }
    }
    // The window owns the region from here on.
    if (region && !platform::SetWindowRgn(hwnd(), region, gdi::TRUE)) static_cast<void>(gdi::DeleteObject(region));
    if (topRightX_ == 0) topRightX_ = InnerWidth();
}

void zqButtons_H::MakePictureRegion(int width, int height, gdi::HRGN region) {
    if (!picture_) return;
    if (pictureMask_) static_cast<void>(gdi::DeleteObject(pictureMask_));
    pictureMask_ = nullptr;
    if (pictureIsIcon_ || !pictureBitmap_) return;  // custom shapes need a bitmap
    const gdi::HDC memory = gdi::CreateCompatibleDC(hDC());
    pictureMask_ = gdi::CopyImage(pictureBitmap_, gdi::IMAGE_BITMAP, width, height, 0);
    const gdi::HGDIOBJ old = gdi::SelectObject(memory, pictureMask_);
    const gdi::COLORREF key = gdi::GetPixel(memory, 0, 0);
    const int keyR = gdi::GetRValue(key), keyG = gdi::GetGValue(key), keyB = gdi::GetBValue(key);
    if (region) {
        DeleteClipRegions();
        outerClipRegion_ = gdi::CreateRectRgn(0, 0, InnerWidth(), InnerHeight());
        innerClipRegion_ = gdi::CreateRectRgn(0, 0, InnerWidth(), InnerHeight());
    }
    const auto closeRun = [&](int x0, int x1, int y) {
        if (!region) return;
        SubtractRect(region, x0, y, x1, y + 1);
        gdi::RECT grown{x0, y, x1, y + 1};
        static_cast<void>(gdi::InflateRect(&grown, 1, 1));
        SubtractRect(outerClipRegion_, grown.left, grown.top, grown.right, grown.bottom);
        static_cast<void>(gdi::InflateRect(&grown, 1, 1));
        SubtractRect(innerClipRegion_, grown.left, grown.top, grown.right, grown.bottom);
    };
    // One column and one row beyond the bitmap are read too; the canvas reports CLR_INVALID there.
    for (int y = 0; y <= height; ++y) {
        int runStart = -1;
        for (int x = 0; x <= width; ++x) {
            const gdi::COLORREF pixel = gdi::GetPixel(memory, x, y);
            const bool background = std::abs(gdi::GetRValue(pixel) - keyR) <= 3 &&
                                    std::abs(gdi::GetGValue(pixel) - keyG) <= 3 &&
                                    std::abs(gdi::GetBValue(pixel) - keyB) <= 3;
            if (background) {
                static_cast<void>(gdi::SetPixel(memory, x, y, key));
                if (runStart < 0) runStart = x;
                if (x == width) {
                    closeRun(runStart, x, y);
                    runStart = -1;
                }
            } else if (runStart >= 0) {
                closeRun(runStart, x, y);
                runStart = -1;
            }
        }
    }
    if (old) static_cast<void>(gdi::SelectObject(memory, old));
    static_cast<void>(gdi::DeleteDC(memory));
    maskWidth_ = width;
    maskHeight_ = height;
}

void zqButtons_H::FitPicture(int boxWidth, int boxHeight, int& outWidth, int& outHeight) const {
    if (pictureWidth_ <= 0 || pictureHeight_ <= 0) {
        outWidth = outHeight = 0;
        return;
    }
    const double ratio =
        std::min(static_cast<double>(boxWidth) / pictureWidth_, static_cast<double>(boxHeight) / pictureHeight_);
    outWidth = static_cast<int>(std::nearbyint(pictureWidth_ * ratio));
    outHeight = static_cast<int>(std::nearbyint(pictureHeight_ * ratio));
}

}  // namespace corvane::buttons
