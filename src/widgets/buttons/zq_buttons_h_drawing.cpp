// The drawing pipeline of zqButtons_H: the off-screen canvas and its tools, Redraw with its DelayDrawing
// gate, the face layer (DrawFace, PrepareFrame), the one-pixel move of CustomClick, the frame drawn on the
// window after the copy, and the paint, resize and end-of-instance handling of the drawing objects.
#include <cmath>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/blit.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/get_object.h"
#include "platform/gdi/icon.h"
#include "platform/gdi/pen_brush.h"
#include "platform/gdi/region.h"
#include "platform/gdi/shapes.h"
#include "widgets/buttons/canvas_tools.h"
#include "widgets/buttons/draw_gradient.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

// Press and release offsets of CustomClick 1..8.
struct ClickShift {
    int pressX, pressY;
};
constexpr ClickShift kClickOffsets[9] = {{0, 0}, {0, -1}, {1, -1}, {-1, -1}, {1, 1}, {-1, 1}, {1, 0}, {0, 1}, {-1, 0}};

}  // namespace

bool zqButtons_H::CanvasOutOfDate() const {
    if (!canvasDC_ || !canvasBitmap_) return true;
    gdi::BITMAP info;
    if (gdi::GetObjectA(canvasBitmap_, sizeof info, &info) == 0) return true;
    return info.bmWidth != InnerWidth() || info.bmHeight != InnerHeight();
}

void zqButtons_H::Redraw() {
    if (delayDrawing_) return;
    // The host may show a size it has not yet announced: the resize handling runs first and repaints.
    if (CanvasOutOfDate() && InnerWidth() > 0 && InnerHeight() > 0) {
        HostResize();
        if (!CanvasOutOfDate()) return;
    }
    EdgeSet edges;
    switch (buttonStyle_) {
        case 0:
            PaintStyle0(edges);
            break;
        case 1:
            PaintStyle1(edges);
            break;
        case 2:
            PaintStyle2(edges);
            break;
        case 3:
            PaintStyle3(edges);
            break;
        case 4:
            PaintStyle4(edges);
            break;
        case 5:
            PaintStyle5(edges);
            break;
        case 6:
            PaintStyle6(edges);
            break;
        case 7:
            PaintStyle7(edges);
            break;
        default:
            break;
    }
    ++redrawCount_;
    emit Redrawn();
    OleColor frameColor = edges.colors[12];
    if (edges.frameMode == 0) return;
    PrepareCanvas(false);

    if (edges.frameMode > 1) {
        gdi::HRGN region;
        bool copy = false;
        if (buttonShape_ == 7 || buttonShape_ == 8) {
            if (pointerOver_ && !Pushed()) {
                if (buttonStyle_ != 2) frameColor = faceColors_.hot;
                if (!(frameColor == TranslateColor(backColor_) && buttonStyle_ != 2)) {
                    region = GetWindowRgn();
                    copy = true;
                }
            } else if (FocusLook()) {
                region = buttonShape_ == 8 ? innerClipRegion_ : outerClipRegion_;
                if (value_ && buttonStyle_ != 2) frameColor = ShiftColor(faceColors_.pressed, -32);
            }
        } else if (buttonShape_ >= 4 && buttonShape_ <= 6) {
            if (buttonStyle_ == 2 && !Pushed()) {
                region = outerClipRegion_;
            } else if (buttonShape_ == 6) {
                region = GetWindowRgn();
                copy = true;
            }
        }
        if (region) {
            const gdi::HBRUSH brush = gdi::CreateSolidBrush(static_cast<gdi::COLORREF>(frameColor) & 0xFFFFFFu);
            static_cast<void>(gdi::FrameRgn(hDC(), region, brush, 1, 1));
            if (copy) static_cast<void>(gdi::DeleteObject(region));
            static_cast<void>(gdi::DeleteObject(brush));
        }
    }
    // Ask the host to show the window (inside a paint request it is shown right away).
    if (!inPaint_) update();
}

void zqButtons_H::PrepareCanvas(bool create) {
    const int w = InnerWidth(), h = InnerHeight();
    if (!create) {
        static_cast<void>(gdi::BitBlt(hDC(), 0, 0, w, h, canvasDC_, 0, 0, gdi::SRCCOPY));
        return;
    }
    PrepareWindowSurface();
    if (!canvasDC_) {
        canvasDC_ = gdi::CreateCompatibleDC(hDC());
        if (!canvasDC_) return;
        static_cast<void>(gdi::SetBkMode(canvasDC_, gdi::NEWTRANSPARENT));
        const gdi::HBRUSH brush = gdi::CreateSolidBrush(0);
        initialBrush_ = gdi::SelectObject(canvasDC_, brush);
        if (!initialBrush_) static_cast<void>(gdi::DeleteObject(brush));
        const gdi::HPEN pen = gdi::CreatePen(gdi::PS_SOLID, 1, 0);
        initialPen_ = gdi::SelectObject(canvasDC_, pen);
        if (!initialPen_) static_cast<void>(gdi::DeleteObject(pen));
    }
    UpdateResource("Font");
    if (!canvasBitmap_) {
        canvasBitmap_ = gdi::CreateCompatibleBitmap(hDC(), w, h);
        if (canvasBitmap_) initialBitmap_ = gdi::SelectObject(canvasDC_, canvasBitmap_);
    }
}

void zqButtons_H::SelectTool(bool enable, gdi::HDC dc, int kind, OleColor color, bool alsoPen, int penWidth,
                             int penStyle) {
    if (!canvasDC_) return;
    if (!enable) {
        // The initial tools go back; the ones they replace are ours and are deleted.
        if (initialBrush_) {
            const gdi::HGDIOBJ old = gdi::SelectObject(canvasDC_, initialBrush_);
            if (old) static_cast<void>(gdi::DeleteObject(old));
        }
        if (initialPen_) {
            const gdi::HGDIOBJ old = gdi::SelectObject(canvasDC_, initialPen_);
            if (old) static_cast<void>(gdi::DeleteObject(old));
        }
        return;
    }
    if (kind == 0) {
        SelectNewBrush(canvasDC_, color);
        if (!alsoPen) return;
    }
    if (kind == 0 || kind == 1) {
        SelectNewPen(canvasDC_, penStyle, penWidth, color);
        return;
    }
    if (kind == 2) static_cast<void>(gdi::SetTextColor(dc, static_cast<gdi::COLORREF>(TranslateColor(color))));
}

void zqButtons_H::FillBox(gdi::HDC dc, int left, int top, int right, int bottom, OleColor fill, OleColor border,
                          int borderWidth, int borderStyle) {
    // Tools always go into the canvas; so does the rectangle, the only surface the painters fill.
    static_cast<void>(dc);
    buttons::FillBox(canvasDC_, left, top, right, bottom, fill, border, borderWidth, borderStyle);
}

void zqButtons_H::DrawGradient(OleColor from, OleColor to) {
    buttons::DrawGradient(canvasDC_, InnerWidth(), InnerHeight(), gradientMode_, from, to);
}

void zqButtons_H::DrawGradientFixed(OleColor from, OleColor to) {
    const std::int32_t saved = gradientMode_;
    gradientMode_ = 3;
    DrawGradient(from, to);
    gradientMode_ = saved;
}

std::int16_t zqButtons_H::PrepareFrame() {
    if (CustomClickShift()) return 0;
    std::int16_t frameMode = 1;
    if (!pointerOver_ && !Pushed() && buttonStyle_ == 5 && !value_) {
        static_cast<void>(gdi::SelectClipRgn(canvasDC_, nullptr));
        return 1;
    }
    const std::int32_t savedMode = gradientMode_;
    static_cast<void>(gdi::SelectClipRgn(canvasDC_, nullptr));
    if (buttonStyle_ == 5 && (value_ || (buttonShape_ != 6 && buttonShape_ != 7))) {
        gradientMode_ = 3;
        DrawGradient(0xFFFFFF, 0x808080);
        static_cast<void>(gdi::SelectClipRgn(canvasDC_, innerClipRegion_));
        frameMode = 4;
    }
    if ((!Pushed() && !value_) || buttonShape_ == 6 || buttonShape_ == 7) {
        if (buttonShape_ == 6 && !pointerOver_) {
            gradientMode_ = savedMode;
            return frameMode;
        }
        if (buttonShape_ == 6 || buttonShape_ == 7) {
            if (const gdi::HRGN copy = GetWindowRgn()) {
                const OleColor color = buttonShape_ == 6 ? 0 : TranslateColor(backColor_);
                const gdi::HBRUSH brush = gdi::CreateSolidBrush(static_cast<gdi::COLORREF>(color));
                static_cast<void>(gdi::FrameRgn(canvasDC_, copy, brush, 1, 1));
                static_cast<void>(gdi::DeleteObject(brush));
                static_cast<void>(gdi::DeleteObject(copy));
            }
        }
        static_cast<void>(gdi::SelectClipRgn(canvasDC_, outerClipRegion_));
        frameMode = 3;
    } else {
        static_cast<void>(gdi::SelectClipRgn(canvasDC_, outerClipRegion_));
        gradientMode_ = 3;
        DrawGradient(0x808080, 0xFFFFFF);
        static_cast<void>(gdi::SelectClipRgn(canvasDC_, innerClipRegion_));
        frameMode = 4;
    }
    gradientMode_ = savedMode;
    return frameMode;
}

void zqButtons_H::DrawFace(OleColor face, EdgeSet& edges, OleColor gradientTo, OleColor hotColor) {
    edges.frameMode = PrepareFrame();
    if (edges.frameMode == 0) return;
    edges.state = Pushed() ? 2 : FocusLook() ? 1 : 0;
    if (hotColor < 0) hotColor = face;
    OleColor fill = face;
    if (pointerOver_) {
        if (mode_ == 0)
            fill = Pushed() ? face : hotColor;
        else
            fill = value_ ? face : hotColor;
    }
    const int w = InnerWidth(), h = InnerHeight();
    if (value_ || buttonShape_ > 6 || gradientMode_ == 0) {
        if (buttonStyle_ != 2 || (!Enabled() && mode_ == 0)) {
            FillBox(canvasDC_, 0, 0, w, h, fill);
        } else if (h > 0) {
            // Shaded by rows: the bottom row about 25 steps darker than the top (a button without height has
            // no rows to shade, and no step to divide by).
            for (int i = 0; i <= h; ++i) {
                const int step = static_cast<int>(std::nearbyint(-(25.0 / h) * i));
                FillBox(canvasDC_, 0, i, w, i + 1, ShiftColor(fill, step, true));
            }
        }
    } else if (!pointerOver_ || Pushed() || gradientColor_ == hoverBackColor_) {
        if (gradientTo < 0) gradientTo = face;
        DrawGradient(face, gradientTo);
    } else {
        FillBox(canvasDC_, 0, 0, w, h, hotColor);
    }
}

void zqButtons_H::EndLogic(EdgeSet& edges) const {
    if (buttonShape_ < 6 || (buttonShape_ == 6 && !pointerOver_ && !Pushed()))
        edges.frameMode = 1;
    else
        edges.colors[12] = 0;
}

bool zqButtons_H::CustomClickShift() {
    if (customClick_ <= 0 || customClick_ > 8 || mode_ != 0) return false;
    const gdi::RECT rect = WindowRectInContainer();
    const int w = rect.right - rect.left, h = rect.bottom - rect.top;
    const ClickShift shift = kClickOffsets[customClick_];
    const bool shifted = (stateFlags_ & kClickShift) != 0;
    if (Pushed() && !shifted) {
        static_cast<void>(
            platform::MoveWindow(hwnd(), rect.left + shift.pressX, rect.top + shift.pressY, w, h, gdi::TRUE));
        stateFlags_ |= kClickShift;
        PrepareCanvas(false);
        if (!inPaint_) update();
        return true;
    }
    if (shifted && !Pushed()) {
        static_cast<void>(
            platform::MoveWindow(hwnd(), rect.left - shift.pressX, rect.top - shift.pressY, w, h, gdi::TRUE));
        stateFlags_ &= static_cast<std::uint16_t>(~kClickShift);
    }
    return false;
}

void zqButtons_H::HostPaint() {
    delayDrawing_ = false;
    Redraw();
}

void zqButtons_H::HostResize() {
    if (canvasDC_ && canvasBitmap_) {
        static_cast<void>(gdi::SelectObject(canvasDC_, initialBitmap_));
        static_cast<void>(gdi::DeleteObject(canvasBitmap_));
        canvasBitmap_ = nullptr;
    }
    PrepareCanvas(true);
    if (delayDrawing_) return;
    BuildRegions();
    CalcLayout(false);
    Redraw();
}

void zqButtons_H::ReleaseDrawing() {
    DeleteClipRegions();
    if (canvasDC_) {
        SelectTool(false, canvasDC_);
        if (fontSelected_) {
            const gdi::HGDIOBJ font = gdi::SelectObject(canvasDC_, initialFont_);
            if (font) static_cast<void>(gdi::DeleteObject(font));
            fontSelected_ = false;
        }
        if (canvasBitmap_) {
            static_cast<void>(gdi::SelectObject(canvasDC_, initialBitmap_));
            static_cast<void>(gdi::DeleteObject(canvasBitmap_));
            canvasBitmap_ = nullptr;
        }
        static_cast<void>(gdi::DeleteDC(canvasDC_));
        canvasDC_ = nullptr;
    }
    if (pictureMask_) static_cast<void>(gdi::DeleteObject(pictureMask_));
    pictureMask_ = nullptr;
    if (pictureBitmap_) static_cast<void>(gdi::DeleteObject(pictureBitmap_));
    pictureBitmap_ = nullptr;
    if (pictureIcon_) static_cast<void>(gdi::DestroyIcon(pictureIcon_));
    pictureIcon_ = nullptr;
    // The window's own context and region end with the window.
}

}  // namespace corvane::buttons
