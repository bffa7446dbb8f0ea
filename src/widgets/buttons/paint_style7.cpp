// Style 7: a rounded black outline with light and dark inner rings; the caption turns light on the pushed
// or checked face.
#include "platform/gdi/shapes.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::PaintStyle7(EdgeSet& edges) {
    OleColor face = FlatFace();
    OleColor target = face;
    if (!value_ && gradientMode_ != 0) {
        target = ShiftColor(TranslateColor(gradientColor_), 31);
        if (Pushed()) face = faceColors_.face;
    }
    DrawFace(face, edges, target, faceColors_.hot);
    if (edges.frameMode == 0) return;

    // The caption colour: light on the darker pushed or checked face.
    OleColor caption = -1;
    if ((Pushed() && mode_ == 0) || value_)
        caption = (!Enabled() && value_) ? ShiftColor(face, -32, true) : faceColors_.face;
    else if (!Enabled() && !value_ && mode_ > 0)
        caption = 0x808080;
    else if (Enabled())
        caption = TranslateColor(foreColor_);
    // The hot look keeps that colour when the hover colour follows the normal one.
    const OleColor savedHover = hoverForeColor_;
    if (foreColor_ == hoverForeColor_ || value_) hoverForeColor_ = caption;
    DrawCaption(face, caption, value_, mode_ > 0);
    hoverForeColor_ = savedHover;

    if (buttonShape_ <= 3) {
        if ((pressed_ && mode_ > 0) || value_) edges.state = value_ ? 2 : 0;
        OleColor hi = 0xFFFFFF;
        OleColor light = ShiftColor(face, 31, true);
        OleColor dark = ShiftColor(face, -64, true);
        if (edges.state == 2) {
            const OleColor g = gradientMode_ != 0 ? faceColors_.face : 0x808080;
            face = g;
            hi = ShiftColor(g, -32);
            light = ShiftColor(g, -64);
            dark = ShiftColor(g, -16);
        }
        OleColor* c = edges.colors;
        c[1] = c[2] = hi;
        c[3] = c[4] = face;
        c[5] = c[6] = light;
        c[7] = c[8] = dark;
        c[9] = c[10] = c[11] = c[12] = 0;
        DrawEdges(edges, -1);
        const int w = InnerWidth(), h = InnerHeight();
        const auto set = [this](int x, int y, OleColor color) {
            static_cast<void>(gdi::SetPixel(canvasDC_, x, y, static_cast<gdi::COLORREF>(color)));
        };
        if (bottomLeftX_ == 0) {
            set(3, 3, hi);
            set(1, h - 3, face);
            set(2, 2, light);
            set(1, h - 2, 0);
            set(1, 1, 0);
        }
        if (topRightX_ == w) {
            set(w - 4, h - 4, face);
            set(w - 3, 1, face);
            set(w - 3, h - 3, dark);
            set(w - 2, h - 2, 0);
            set(w - 2, 1, 0);
        }
    }
    OleColor focus = 0;
    if (mode_ == 0 && buttonShape_ > 0)
        focus = ShiftColor(face, -64);
    else if (value_)
        focus = ShiftColor(0x808080, -32);
    EndLogic(edges);
    DrawFocus(focus, value_, true);
}

}  // namespace corvane::buttons
