// Style 1: a double bevel in a black outline.
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::PaintStyle1(EdgeSet& edges) {
    OleColor face = 0, disabled = 0;
    if (!PaintStandardFrame(edges, face, disabled)) return;
    OleColor focus = disabled;
    if (buttonShape_ <= 3) {
        if ((pressed_ && mode_ > 0) || value_) {
            edges.state = 2;
            focus = 0;
        } else {
            if (buttonShape_ >= 1) focus = ShiftColor(face, -48);
            if (edges.state < 2) edges.state = 1;
        }
        const bool down = edges.state == 2;
        OleColor* c = edges.colors;
        c[1] = c[2] = c[5] = c[6] = down ? 0x808080 : 0xFFFFFF;
        c[3] = c[4] = c[7] = c[8] = down ? 0xFFFFFF : 0x808080;
        c[9] = c[10] = c[11] = c[12] = 0;
        DrawEdges(edges, -1);
    }
    EndLogic(edges);
    DrawFocus(focus, value_, false);
}

}  // namespace corvane::buttons
