// The control's own window as the drawing sees it: its device context (kept at the window's size even
// while the window is hidden and its resize is not yet delivered), its region, and its place in the
// container.
#include "platform/cursor.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/region.h"
#include "platform/gdi/window_dc.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::PrepareWindowSurface() {
    const gdi::HDC dc = hDC();
    if (!dc) return;
    const QSize now = gdi::WindowContextImage(dc).size();
    if (now == size()) return;
    const QColor back = palette().color(QPalette::Window);
    static_cast<void>(
        gdi::ResizeWindowContext(dc, InnerWidth(), InnerHeight(), gdi::RGB(back.red(), back.green(), back.blue())));
}

gdi::HRGN zqButtons_H::GetWindowRgn() const {
    const gdi::HRGN copy = gdi::CreateRectRgn(0, 0, 0, 0);
    if (copy && platform::GetWindowRgn(hwnd(), copy) == gdi::ERROR) {
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

gdi::RECT zqButtons_H::WindowRectInContainer() const {
    // The window's rectangle on the screen, its top-left corner in the container's client coordinates.
    gdi::RECT rect{};
    if (!platform::GetWindowRect(hwnd(), &rect)) return rect;
    platform::Point corner{rect.left, rect.top};
    if (!platform::ScreenToClient(ContainerHandle(), corner)) return rect;
    return {corner.x, corner.y, corner.x + (rect.right - rect.left), corner.y + (rect.bottom - rect.top)};
}

QImage zqButtons_H::WindowImage() const {
    const QImage shown = gdi::WindowContextImage(hDC());
    if (shown.isNull()) return {};
    QImage out = shown.convertToFormat(QImage::Format_ARGB32);
    const gdi::HRGN region = GetWindowRgn();
    if (!region) return out;
    const QRegion inside = gdi::RegionToQRegion(region);
    static_cast<void>(gdi::DeleteObject(region));
    for (int y = 0; y < out.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            if (!inside.contains(QPoint(x, y))) row[x] &= 0x00FFFFFFu;
    }
    return out;
}

}  // namespace corvane::buttons
