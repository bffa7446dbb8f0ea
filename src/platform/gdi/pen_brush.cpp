#include "platform/gdi/pen_brush.h"

#include "platform/gdi/objects.h"

namespace corvane::gdi {

HPEN CreatePen(int style, int width, COLORREF color) {
    if (style < PS_SOLID || style > PS_INSIDEFRAME || width < 0) return nullptr;
    detail::PenObject pen{LOGPEN{static_cast<UINT>(style), {width, 0}, color & 0xFFFFFFu}};
    return HPEN(detail::table().add(pen));
}

HBRUSH CreateSolidBrush(COLORREF color) {
    detail::BrushObject brush{LOGBRUSH{BS_SOLID, color & 0xFFFFFFu, 0}};
    return HBRUSH(detail::table().add(brush));
}

}  // namespace corvane::gdi
