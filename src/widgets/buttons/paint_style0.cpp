// Style 0: the classic three-dimensional button.
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::PaintStyle0(EdgeSet& edges) {
    OleColor face = 0, disabled = 0;
    if (!PaintStandardFrame(edges, face, disabled)) return;
    OleColor focus = disabled;
    if (buttonShape_ <= 3) {
        constexpr OleColor kLight = Rgb(233, 233, 233);
        OleColor light = Pushed() ? face : kLight;
        const bool down = (pressed_ && mode_ > 0) || value_;
        if (down) {
            edges.state = 3;
            light = kLight;
            focus = 0;
        } else if (buttonShape_ >= 1) {
            focus = ShiftColor(face, -48);
        }
        OleColor* c = edges.colors;
        switch (edges.state) {
            case 0:
                c[1] = c[2] = c[3] = c[4] = -1;
                c[5] = c[6] = light;
                c[7] = c[8] = 0x808080;
                break;
            case 1:
                c[1] = c[2] = light;
                c[3] = c[4] = 0x808080;
                c[5] = c[6] = 0xFFFFFF;
                c[7] = c[8] = 0;
                break;
            case 2:
                c[1] = c[2] = c[3] = c[4] = c[5] = c[6] = -1;
                c[7] = c[8] = 0x808080;
                break;
            default:
                c[1] = c[2] = c[3] = c[4] = c[5] = c[6] = -1;
                c[7] = c[8] = light;
                break;
        }
        if (down) {
            c[9] = c[10] = 0;
            c[11] = c[12] = 0xFFFFFF;
        } else {
            c[9] = c[10] = FocusLook() ? 0 : 0xFFFFFF;
            c[11] = c[12] = 0;
        }
        DrawEdges(edges, -1);
    }
    EndLogic(edges);
    DrawFocus(focus, value_, false);
}

}  // namespace corvane::buttons
