// The picture and the caption on the canvas: embossed or engraved captions, the disabled look (a white
// shadow under grey text, a grey silhouette of the picture), icons with their alpha, and bitmaps drawn
// transparently, their top-left pixel's colour being the background.
#include <cmath>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/blit.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/icon.h"
#include "platform/gdi/pen_brush.h"
#include "platform/gdi/rect.h"
#include "platform/gdi/shapes.h"
#include "platform/gdi/text.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

// The raster operation that keeps the destination where the source is white and takes the brush where it
// is black: ((D xor P) and S) xor P.
constexpr gdi::DWORD kSilhouetteRop = 0x00B8074A;
// Destination and not source: blackens the source copy where the mask is white.
constexpr gdi::DWORD kBlackenRop = 0x00220326;

}  // namespace

void zqButtons_H::DrawCaption(OleColor face, OleColor disabledColor, bool pushedOffset, bool noEngrave) {
    gdi::RECT cap = captionRect_, pic = pictureRect_;
    if ((pushedOffset || Pushed()) && buttonStyle_ != 3) {
        const int dx = buttonShape_ <= 3 ? 1 : 0;
        static_cast<void>(gdi::OffsetRect(&cap, dx, 1));
        static_cast<void>(gdi::OffsetRect(&pic, dx, 1));
    }
    if (!value_ || buttonShape_ < 7) DrawPicture(pic);
    if (caption_.isEmpty() || (buttonShape_ > 4 && !value_)) return;
    if (captionText_.empty()) return;  // laid out before the canvas had its font

    const char* text = captionText_.c_str();
    const int count = static_cast<int>(captionText_.size());
    gdi::UINT format = gdi::DT_WORDBREAK;
    if (captionAlign_ == 1)
        format |= gdi::DT_RIGHT;
    else if (captionAlign_ == 2)
        format |= gdi::DT_CENTER;

    OleColor color = 0;
    if (Enabled()) {
        if (!pointerOver_ || Pushed())
            color = (buttonStyle_ == 7 && (value_ || gradientMode_ == 0)) ? disabledColor : TranslateColor(foreColor_);
        else
            color = TranslateColor(hoverForeColor_);
        if (captionStyle_ != 0) {
            const int d = captionStyle_ == 2 ? 40 : -40;
            gdi::RECT copy = cap;
            static_cast<void>(gdi::OffsetRect(&copy, -1, 0));
            SelectTool(true, canvasDC_, 2, ShiftColor(face, d));
            static_cast<void>(gdi::DrawTextA(canvasDC_, text, count, &copy, format));
            copy = cap;
            static_cast<void>(gdi::OffsetRect(&copy, 1, 2));
            SelectTool(true, canvasDC_, 2, ShiftColor(face, -d));
            static_cast<void>(gdi::DrawTextA(canvasDC_, text, count, &copy, format));
            static_cast<void>(gdi::OffsetRect(&cap, 0, 1));
        }
    } else if (disabledColor < 0 || gradientMode_ != 0) {
        color = 0xFFFFFF;
        static_cast<void>(gdi::OffsetRect(&cap, 1, 1));
        noEngrave = false;
    } else {
        color = disabledColor;
    }
    SelectTool(true, canvasDC_, 2, color);
    static_cast<void>(gdi::DrawTextA(canvasDC_, text, count, &cap, format));
    if (!Enabled() && !noEngrave) {
        SelectTool(true, canvasDC_, 2, 0x808080);
        static_cast<void>(gdi::OffsetRect(&cap, -1, -1));
        static_cast<void>(gdi::DrawTextA(canvasDC_, text, count, &cap, format));
    }
}

void zqButtons_H::DrawPicture(gdi::RECT rect) {
    if (pictureWidth_ + pictureHeight_ == 0) return;
    if (!pictureMask_) MakePictureRegion(rect.right - rect.left, rect.bottom - rect.top, nullptr);
    if (buttonShape_ == 7 || buttonShape_ == 8) {
        rect = {0, 0, InnerWidth(), InnerHeight()};
        if (Pushed()) static_cast<void>(gdi::InflateRect(&rect, -1, -1));
    }
    const int w = rect.right - rect.left, h = rect.bottom - rect.top;
    if (w <= 0 || h <= 0) return;
    const bool enabled = Enabled();
    gdi::HDC target = canvasDC_;
    gdi::HDC scratch;
    gdi::HBITMAP scratchBitmap;
    gdi::HGDIOBJ scratchOld;
    gdi::RECT at = rect;
    if (!enabled) {
        // The picture goes on white first; its silhouette is then cut into the face.
        scratch = gdi::CreateCompatibleDC(canvasDC_);
        scratchBitmap = gdi::CreateCompatibleBitmap(canvasDC_, w, h);
        scratchOld = gdi::SelectObject(scratch, scratchBitmap);
        static_cast<void>(gdi::PatBlt(scratch, 0, 0, w, h, gdi::WHITENESS));
        target = scratch;
        at = {0, 0, w, h};
    }
    if (pictureIsIcon_)
        static_cast<void>(gdi::DrawIconEx(target, at.left, at.top, pictureIcon_, w, h, 0, nullptr, gdi::DI_NORMAL));
    else
        DrawTransparentBitmap(target, at, pictureMask_, gdi::RECT{}, w, h);
    if (!enabled) {
        const gdi::COLORREF oldBack = gdi::SetBkColor(canvasDC_, 0xFFFFFF);
        const gdi::HBRUSH grey = gdi::CreateSolidBrush(0x808080);
        const gdi::HGDIOBJ oldBrush = gdi::SelectObject(canvasDC_, grey);
        static_cast<void>(gdi::BitBlt(canvasDC_, rect.left, rect.top, w, h, scratch, 0, 0, kSilhouetteRop));
        static_cast<void>(gdi::SetBkColor(canvasDC_, oldBack));
        if (oldBrush) static_cast<void>(gdi::SelectObject(canvasDC_, oldBrush));
        static_cast<void>(gdi::DeleteObject(grey));
        if (scratchOld) static_cast<void>(gdi::SelectObject(scratch, scratchOld));
        static_cast<void>(gdi::DeleteObject(scratchBitmap));
        static_cast<void>(gdi::DeleteDC(scratch));
    }
}

void zqButtons_H::DrawTransparentBitmap(gdi::HDC target, gdi::RECT dest, gdi::HBITMAP bitmap, gdi::RECT src, int w,
                                        int h) {
    if (!bitmap) return;
    const gdi::HDC screen = gdi::GetDC(nullptr);
    const gdi::HDC source = gdi::CreateCompatibleDC(screen);
    const gdi::HGDIOBJ sourceOld = gdi::SelectObject(source, bitmap);
    int sw = src.right - src.left, sh = src.bottom - src.top;
    if (gdi::IsRectEmpty(&src)) {
        sw = maskWidth_;
        sh = maskHeight_;
    }
    int dw = dest.right - dest.left, dh = dest.bottom - dest.top;
    if (gdi::IsRectEmpty(&dest)) {
        dw = w;
        dh = h;
    }
    if ((dw < w || dh < h) && w > 0 && h > 0) {
        const float scale =
            std::min(static_cast<float>(dw) / static_cast<float>(w), static_cast<float>(dh) / static_cast<float>(h));
        w = static_cast<int>(std::nearbyint(static_cast<float>(w) * scale));
        h = static_cast<int>(std::nearbyint(static_cast<float>(h) * scale));
    }
    const gdi::COLORREF transparent =
        static_cast<gdi::COLORREF>(TranslateColor(static_cast<OleColor>(gdi::GetPixel(source, src.left, src.top))));

    // A copy of the destination area, a copy of the source and a monochrome mask of the source.
    const gdi::HDC back = gdi::CreateCompatibleDC(screen);
    const gdi::HBITMAP backBitmap = gdi::CreateCompatibleBitmap(screen, dw, dh);
    const gdi::HGDIOBJ backOld = gdi::SelectObject(back, backBitmap);
    static_cast<void>(gdi::SetMapMode(back, gdi::GetMapMode(target)));
    static_cast<void>(gdi::BitBlt(back, 0, 0, dw, dh, target, dest.left, dest.top, gdi::SRCCOPY));

    const gdi::HDC copy = gdi::CreateCompatibleDC(screen);
    const gdi::HBITMAP copyBitmap = gdi::CreateCompatibleBitmap(screen, sw, sh);
    const gdi::HGDIOBJ copyOld = gdi::SelectObject(copy, copyBitmap);
    static_cast<void>(gdi::BitBlt(copy, 0, 0, sw, sh, source, src.left, src.top, gdi::SRCCOPY));

    const gdi::HDC mask = gdi::CreateCompatibleDC(screen);
    const gdi::HBITMAP maskBitmap = gdi::CreateBitmap(sw, sh, 1, 1, nullptr);
    const gdi::HGDIOBJ maskOld = gdi::SelectObject(mask, maskBitmap);
    const gdi::COLORREF copyBack = gdi::SetBkColor(copy, transparent);
    static_cast<void>(gdi::BitBlt(mask, 0, 0, sw, sh, copy, 0, 0, gdi::SRCCOPY));
    static_cast<void>(gdi::SetBkColor(copy, copyBack));

    static_cast<void>(gdi::BitBlt(copy, 0, 0, sw, sh, mask, 0, 0, kBlackenRop));
    static_cast<void>(gdi::SetTextColor(back, 0x000000));
    static_cast<void>(gdi::SetBkColor(back, 0xFFFFFF));
    static_cast<void>(gdi::StretchBlt(back, 0, 0, w, h, mask, 0, 0, sw, sh, gdi::SRCAND));
    static_cast<void>(gdi::StretchBlt(back, 0, 0, w, h, copy, 0, 0, sw, sh, gdi::SRCPAINT));
    static_cast<void>(gdi::BitBlt(target, dest.left, dest.top, dw, dh, back, 0, 0, gdi::SRCCOPY));

    if (maskOld) static_cast<void>(gdi::SelectObject(mask, maskOld));
    static_cast<void>(gdi::DeleteObject(maskBitmap));
    static_cast<void>(gdi::DeleteDC(mask));
    if (copyOld) static_cast<void>(gdi::SelectObject(copy, copyOld));
    static_cast<void>(gdi::DeleteObject(copyBitmap));
    static_cast<void>(gdi::DeleteDC(copy));
    if (backOld) static_cast<void>(gdi::SelectObject(back, backOld));
    static_cast<void>(gdi::DeleteObject(backBitmap));
    static_cast<void>(gdi::DeleteDC(back));
    if (sourceOld) static_cast<void>(gdi::SelectObject(source, sourceOld));
    static_cast<void>(gdi::DeleteDC(source));
    static_cast<void>(gdi::ReleaseDC(nullptr, screen));
}

}  // namespace corvane::buttons
