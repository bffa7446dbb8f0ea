// Style 3: flat, with a light top-left and a dark bottom-right.
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::PaintStyle3(EdgeSet& edges) {
    OleColor face = FlatFace();
    DrawFace(face, edges, TranslateColor(gradientColor_), faceColors_.hot);
    if (edges.frameMode == 0) return;
    DrawCaption(face, Enabled() ? -1 : ShiftColor(0x808080, -16), false, true);
    if (buttonShape_ <= 3) {
        const OleColor dark = ShiftColor(0x808080, -26);
        OleColor* c = edges.colors;
        if (Enabled() || mode_ > 0) {
            c[1] = c[2] = c[3] = c[4] = -1;
            if (mode_ > 0) edges.state = (value_ || pressed_) ? 2 : 3;
            if (edges.state < 2) edges.state = 1;
            c[5] = c[6] = edges.state == 2 ? face : 0xFFFFFF;
            c[7] = c[8] = dark;
            c[9] = c[10] = dark;
            c[11] = c[12] = 0xFFFFFF;
        } else {
            for (int k = 1; k <= 8; ++k) c[k] = face;
            c[9] = c[10] = c[11] = c[12] = dark;
        }
        DrawEdges(edges, -1);
    }
    EndLogic(edges);
    DrawFocus(Rgb(153, 153, 204), true, true);
}

}  // namespace corvane::buttons
