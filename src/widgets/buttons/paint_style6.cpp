// Style 6: two grey rings.
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::PaintStyle6(EdgeSet& edges) {
    OleColor face = 0, disabled = 0;
    if (!PaintStandardFrame(edges, face, disabled)) return;
    OleColor focus = disabled;
    if (buttonShape_ <= 3) {
        const OleColor light = ShiftColor(0xDFDFDF, 8);
        const OleColor dark = 0x808080;
        OleColor* c = edges.colors;
        c[1] = c[2] = c[3] = c[4] = -1;
        if ((pressed_ && mode_ > 0) || value_) {
            edges.state = 1;
            focus = 0;
        } else {
            edges.state = Pushed() ? 1 : 0;
            if (buttonShape_ >= 1) focus = ShiftColor(face, -48);
        }
        const bool normal = edges.state == 0;
        c[5] = c[6] = c[9] = c[10] = normal ? light : dark;
        c[7] = c[8] = c[11] = c[12] = normal ? dark : light;
        DrawEdges(edges, -1);
    }
    EndLogic(edges);
    DrawFocus(focus, value_, false);
}

}  // namespace corvane::buttons
