// Style 5: edges only while the pointer is over the button (or it is checked); a dotted outline while the
// form is being designed.
#include "platform/gdi/region.h"
#include "platform/gdi/shapes.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::PaintStyle5(EdgeSet& edges) {
    OleColor face = 0, disabled = 0;
    if (!PaintStandardFrame(edges, face, disabled)) return;
    const OleColor focus = (buttonShape_ > 0 && !(value_ && mode_ > 0)) ? ShiftColor(containerBackColor_, -32) : 0;
    const int w = InnerWidth(), h = InnerHeight();
    if (buttonShape_ >= 4 && buttonShape_ <= 6 && !userMode_) {
        static_cast<void>(gdi::SelectClipRgn(canvasDC_, nullptr));
        SelectTool(true, canvasDC_, 1, ShiftColor(containerBackColor_, -32), false, 1, gdi::PS_DOT);
        static_cast<void>(gdi::Arc(canvasDC_, 0, 0, w - 1, h - 1, 0, 0, 0, 0));
        static_cast<void>(gdi::SelectClipRgn(canvasDC_, outerClipRegion_));
    }
    if (buttonShape_ <= 3) {
        OleColor* c = edges.colors;
        for (int k = 1; k <= 8; ++k) c[k] = -1;
        if ((stateFlags_ & kHotLook) != 0 || value_) {
            if (value_ || (pressed_ && mode_ > 0)) edges.state = 2;
            if (edges.state < 2) edges.state = 1;
            const bool raised = edges.state == 1;
            c[9] = c[10] = raised ? 0xFFFFFF : 0x808080;
            c[11] = c[12] = raised ? 0x808080 : 0xFFFFFF;
        } else if (userMode_) {
            c[9] = c[10] = c[11] = c[12] = -1;
        } else {
            OleColor outline = ShiftColor(containerBackColor_, -64);
            if (outline == 0) outline = 0xFFFFFF;
            c[9] = c[10] = c[11] = c[12] = outline;
        }
        DrawEdges(edges, userMode_ ? -1 : gdi::PS_DOT);
    }
    EndLogic(edges);
    DrawFocus(focus, value_, false);
}

}  // namespace corvane::buttons
