// Style 4: flat, with one ring.
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::PaintStyle4(EdgeSet& edges) {
    OleColor face = 0, disabled = 0;
    if (!PaintStandardFrame(edges, face, disabled)) return;
    OleColor focus = disabled;
    if (buttonShape_ <= 3) {
        OleColor* c = edges.colors;
        for (int k = 1; k <= 8; ++k) c[k] = -1;
        if ((pressed_ && mode_ > 0) || value_) {
            edges.state = 2;
            focus = 0;
        } else {
            if (buttonShape_ >= 1) focus = ShiftColor(face, -48);
            if (edges.state < 2) edges.state = 1;
        }
        const bool raised = edges.state == 1;
        c[9] = c[10] = raised ? 0xFFFFFF : 0x808080;
        c[11] = c[12] = raised ? 0x808080 : 0xFFFFFF;
        DrawEdges(edges, -1);
    }
    EndLogic(edges);
    DrawFocus(focus, value_, false);
}

}  // namespace corvane::buttons
