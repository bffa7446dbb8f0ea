// Style 2: the themed look with fixed accent colours (blue focus, orange hot), shaded face.
#include "platform/gdi/shapes.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

// Inner and middle ring colours 1..8 of the focus, hot and outer rings.
constexpr OleColor kFocusRing[9] = {0,
                                    Rgb(181, 209, 240),
                                    Rgb(189, 215, 247),
                                    Rgb(181, 209, 240),
                                    Rgb(140, 174, 231),
                                    Rgb(140, 174, 231),
                                    Rgb(191, 223, 255),
                                    Rgb(140, 174, 231),
                                    Rgb(107, 130, 239)};
constexpr OleColor kHotRing[9] = {0,
                                  Rgb(255, 203, 107),
                                  Rgb(255, 219, 140),
                                  Rgb(255, 203, 107),
                                  Rgb(255, 178, 49),
                                  Rgb(255, 178, 49),
                                  Rgb(255, 233, 166),
                                  Rgb(255, 178, 49),
                                  Rgb(231, 150, 0)};
constexpr int kNormalShift[9] = {0, -10, 10, -24, -32, -5, 16, -36, -48};
// Pushed: colour 3 is the face itself (shift 0 with no change), the others are shifts.
constexpr int kPushedShift[9] = {0, -22, -24, 0, 10, -32, -32, 5, 16};
constexpr OleColor kOuter = Rgb(0, 60, 115);

}  // namespace

void zqButtons_H::PaintStyle2(EdgeSet& edges) {
    OleColor face = faceColors_.face;
    if (mode_ == 0) {
        if (!Enabled())
            face = ShiftColor(faceColors_.face, -24, true);
        else if (Pushed() && gradientMode_ == 0)
            face = faceColors_.pressed;
    } else if (value_) {
        face = faceColors_.checked;
    }
    const OleColor target = gradientMode_ != 0 ? ShiftColor(TranslateColor(gradientColor_), 48, true) : face;
    DrawFace(face, edges, target, faceColors_.hot);
    if (edges.frameMode == 0) return;
    DrawCaption(face, Enabled() ? 0 : ShiftColor(face, -104, true), value_, true);
    if (buttonShape_ <= 3) {
        OleColor* c = edges.colors;
        OleColor outer = kOuter;
        if (Enabled()) {
            if ((pressed_ && mode_ > 0) || value_) edges.state = FocusLook() ? 1 : 2;
            if ((stateFlags_ & kHotLook) != 0 && (stateFlags_ & kButtonDown) == 0)
                edges.state = 3;
            else if (edges.state == 1 && !showFocusRect_)
                edges.state = 0;
            for (int k = 1; k <= 8; ++k) {
                switch (edges.state) {
                    case 0:
                        c[k] = ShiftColor(face, kNormalShift[k], true);
                        break;
                    case 1:
                        c[k] = kFocusRing[k];
                        break;
                    case 2:
                        c[k] = k == 3 ? face : ShiftColor(face, kPushedShift[k], true);
                        break;
                    default:
                        c[k] = kHotRing[k];
                        break;
                }
            }
        } else {
            for (int k = 1; k <= 8; ++k) c[k] = -1;
            outer = ShiftColor(face, -84, true);
        }
        c[9] = c[10] = c[11] = c[12] = outer;
        DrawEdges(edges, -1);
        const int w = InnerWidth(), h = InnerHeight();
        const auto pixel = static_cast<gdi::COLORREF>(outer);
        if (bottomLeftX_ == 0) {
            static_cast<void>(gdi::SetPixel(canvasDC_, 1, 1, pixel));
            static_cast<void>(gdi::SetPixel(canvasDC_, 1, h - 2, pixel));
        }
        if (topRightX_ == w) {
            static_cast<void>(gdi::SetPixel(canvasDC_, w - 2, 1, pixel));
            static_cast<void>(gdi::SetPixel(canvasDC_, w - 2, h - 2, pixel));
        }
    } else if (FocusLook() && !pointerOver_) {
        edges.colors[12] = Rgb(107, 130, 239);
    } else if (pointerOver_) {
        edges.colors[12] = Rgb(231, 150, 0);
    } else {
        edges.frameMode = 1;
    }
}

}  // namespace corvane::buttons
