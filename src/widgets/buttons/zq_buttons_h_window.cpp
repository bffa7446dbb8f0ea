// The control's own window as the drawing sees it: a device context holding what the window shows, the
// window's region (it clips the window's pixels and its mouse input), its rectangle in the container and
// its moves.
#include <QPainter>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/get_object.h"
#include "platform/gdi/region.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::PrepareWindowSurface() {
    const gdi::HDC screen = gdi::GetDC(nullptr);
    if (!windowDC_) windowDC_ = gdi::CreateCompatibleDC(screen);
    const int w = InnerWidth(), h = InnerHeight();
    if (windowBitmap_) {
        gdi::BITMAP info;
        if (gdi::GetObjectA(windowBitmap_, sizeof info, &info) != 0 && info.bmWidth == w && info.bmHeight == h) {
            static_cast<void>(gdi::ReleaseDC(nullptr, screen));
            return;
        }
        static_cast<void>(gdi::SelectObject(windowDC_, windowInitialBitmap_));
        static_cast<void>(gdi::DeleteObject(windowBitmap_));
        windowBitmap_ = nullptr;
    }
    if (windowDC_ && w > 0 && h > 0) {
        windowBitmap_ = gdi::CreateCompatibleBitmap(screen, w, h);
        if (windowBitmap_) windowInitialBitmap_ = gdi::SelectObject(windowDC_, windowBitmap_);
    }
    static_cast<void>(gdi::ReleaseDC(nullptr, screen));
}

void zqButtons_H::SetWindowRgn(gdi::HRGN region) {
    // The window owns the region from here on.
    if (windowRegion_ && windowRegion_ != region) static_cast<void>(gdi::DeleteObject(windowRegion_));
    windowRegion_ = region;
    if (region)
        setMask(gdi::RegionToQRegion(region));
    else
        clearMask();
    if (!inPaint_) update();
}

gdi::HRGN zqButtons_H::GetWindowRgn() const {
    if (!windowRegion_) return nullptr;
    const gdi::HRGN copy = gdi::CreateRectRgn(0, 0, 0, 0);
    if (copy && gdi::CombineRgn(copy, windowRegion_, nullptr, gdi::RGN_COPY) == gdi::ERROR) {
        static_cast<void>(gdi::DeleteObject(copy));
        return nullptr;
    }
    return copy;
}

gdi::HRGN zqButtons_H::OuterClipRegionCopy() const {
    if (!outerClipRegion_) return nullptr;
    const gdi::HRGN copy = gdi::CreateRectRgn(0, 0, 0, 0);
    static_cast<void>(gdi::CombineRgn(copy, outerClipRegion_, nullptr, gdi::RGN_COPY));
    return copy;
}

gdi::HRGN zqButtons_H::InnerClipRegionCopy() const {
    if (!innerClipRegion_) return nullptr;
    const gdi::HRGN copy = gdi::CreateRectRgn(0, 0, 0, 0);
    static_cast<void>(gdi::CombineRgn(copy, innerClipRegion_, nullptr, gdi::RGN_COPY));
    return copy;
}

gdi::RECT zqButtons_H::GetWindowRect() const {
    // The place in the container's client coordinates (the container is the parent window).
    const QRect g = geometry();
    return {g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
}

void zqButtons_H::MoveWindow(int x, int y, int w, int h) {
    setGeometry(x, y, w, h);
    if (!inPaint_) update();
}

QImage zqButtons_H::WindowImage() const {
    QImage shown = gdi::BitmapImage(windowBitmap_);
    if (shown.isNull()) return {};
    QImage out = shown.convertToFormat(QImage::Format_ARGB32);
    if (!windowRegion_) return out;
    const QRegion inside = gdi::RegionToQRegion(windowRegion_);
    for (int y = 0; y < out.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            if (!inside.contains(QPoint(x, y))) row[x] &= 0x00FFFFFFu;
    }
    return out;
}

}  // namespace corvane::buttons
