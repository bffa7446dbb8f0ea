// The rings every style draws around rectangular and slanted buttons (three one-pixel rings of twelve
// segments), and the focus mark.
#include <algorithm>

#include "platform/gdi/shapes.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::DrawEdges(EdgeSet& edges, int outerPenStyle) {
    const int w = InnerWidth(), h = InnerHeight();
    const int l = bottomLeftX_, r = topRightX_;
    const int sL = (buttonShape_ == 1 || buttonShape_ == 3) ? 1 : 0;
    const int sR = (buttonShape_ == 2 || buttonShape_ == 3) ? 1 : 0;
    gdi::POINT* p = edges.points;
    p[0] = {l + 2 - 4 * sL, h - 3};
    p[1] = {2 + 2 * sL, 2};
    p[2] = {r - 3 + 3 * sR, 2};
    p[3] = {w - 3 - 3 * sR, h - 3};
    p[4] = {l + 1 - 4 * sL, h - 3};
    p[5] = {p[0].x + (sL - 1), p[0].y + 1};
    p[6] = {p[1].x + (-sL - 1), p[1].y - 1};
    p[7] = {p[2].x + (1 - sR), p[2].y - 1};
    p[8] = {p[3].x + (sR + 1), p[3].y + 1};
    p[9] = {p[4].x - 1, p[4].y + 1};
    p[10] = {l - sL, h - 1 + sL};
    p[11] = {0, 0};
    p[12] = {r - 1 + sR, 0};
    p[13] = {w - 1, h - 1 + sR};
    p[14] = {l - 1 - 2 * sL, h - 1};
    p[15] = {w - 1, h - 1};

    bool havePen = false;
    OleColor last = 0;
    for (int j = 0; j <= 13; ++j) {
        if (j == 4 || j == 9) continue;
        const int index = j <= 3 ? j + 1 : j <= 8 ? j : j - 1;
        const OleColor color = edges.colors[index];
        if (color < 0) continue;
        if (!havePen || color != last) {
            const int style = (j >= 9 && outerPenStyle >= 0) ? outerPenStyle : gdi::PS_SOLID;
            SelectTool(true, canvasDC_, 1, color, false, 1, style);
            havePen = true;
            last = color;
        }
        static_cast<void>(gdi::Polyline(canvasDC_, &p[j], 2));
    }
    // The closing line with whatever pen is selected now: it fills the outer ring's bottom-left pixel.
    static_cast<void>(gdi::Polyline(canvasDC_, &p[14], 2));
}

void zqButtons_H::DrawFocus(OleColor color, bool polyline, bool aroundCaption) {
    if (!FocusLook() || buttonShape_ > 6) return;
    if (buttonShape_ >= 4) {
        if (buttonStyle_ == 2) return;
        aroundCaption = true;
    }
    const int w = InnerWidth(), h = InnerHeight();
    const int l = bottomLeftX_, r = topRightX_;
    if (color < 0) color = 0;
    if (buttonShape_ >= 1 && buttonShape_ <= 3) {
        const int fL = l != 0 ? 1 : 0, fR = w > r ? 1 : 0;
        const gdi::POINT points[5] = {{l + 4 - 6 * fL, h - 5},
                                      {4 + 4 * fL, 4},
                                      {r - 5 + 4 * fR, 4},
                                      {w - 5 - 6 * fR, h - 5},
                                      {l + 3 - 4 * fL, h - 5}};
        SelectTool(true, canvasDC_, 1, color, false, 1, gdi::PS_SOLID);
        static_cast<void>(gdi::Polyline(canvasDC_, points, 5));
        return;
    }
    SelectTool(true, canvasDC_, 1, color, false, 1, gdi::PS_SOLID);
    gdi::RECT rect;
    if (aroundCaption) {
        if (!caption_.isEmpty()) {
            rect = captionRect_;
        } else {
            rect = pictureRect_;
            rect.bottom = std::min(rect.bottom, h - 4);
            rect.right = std::min(rect.right, w - 4);
        }
        const int e = (captionRect_.right < r - 4 && captionRect_.left > l + 4) ? 2 : 1;
        const int p = ((value_ || Pushed()) && buttonStyle_ != 3) ? 1 : 0;
        const int q = buttonShape_ < 4 ? 1 : 0;
        rect = {rect.left + p * q - e, rect.top + p - e, rect.right + 2 * p * q + e, rect.bottom + 2 * p + e};
        if (!polyline) {
            static_cast<void>(gdi::DrawFocusRect(canvasDC_, &rect));
            return;
        }
        const gdi::POINT outline[5] = {{rect.left, rect.top},
                                       {rect.right - 1, rect.top},
                                       {rect.right - 1, rect.bottom - 1},
                                       {rect.left, rect.bottom - 1},
                                       {rect.left, rect.top}};
        static_cast<void>(gdi::Polyline(canvasDC_, outline, 5));
        return;
    }
    rect = {l + 4, 4, r - 4, h - 4};
    if (!polyline) {
        static_cast<void>(gdi::DrawFocusRect(canvasDC_, &rect));
        return;
    }
    const gdi::POINT outline[5] = {{rect.left, rect.bottom},
                                   {rect.left, rect.top},
                                   {rect.right, rect.top},
                                   {rect.right, rect.bottom},
                                   {rect.left, rect.bottom}};
    static_cast<void>(gdi::Polyline(canvasDC_, outline, 5));
}

}  // namespace corvane::buttons
