#include "platform/gdi/pen_brush.h"

#include "platform/gdi/objects.h"

namespace corvane::gdi {

HPEN CreatePen(int style, int width, COLORREF color) {
    if (style < PS_SOLID || style > PS_INSIDEFRAME || width < 0) return nullptr;
    return HPEN(detail::table().emplace<detail::PenObject>(
        detail::PenObject{LOGPEN{static_cast<UINT>(style), {width, 0}, color & 0xFFFFFFu}}));
}

HBRUSH CreateSolidBrush(COLORREF color) {
    return HBRUSH(
        detail::table().emplace<detail::BrushObject>(detail::BrushObject{LOGBRUSH{BS_SOLID, color & 0xFFFFFFu, 0}}));
}

}  // namespace corvane::gdi
