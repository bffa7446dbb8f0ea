#pragma once
// Pens and brushes. A pen of width 0 or 1 draws one-pixel lines. PS_DASH, PS_DOT, PS_DASHDOT and
// PS_DASHDOTDOT are dashed only at width 0 or 1 (wider they draw solid); their patterns, in
// pixels along the line's major axis, are 18 on 6 off, 3 on 3 off, 9-6-3-6 and 9-3-3-3-3-3,
// starting afresh at each Polyline or Arc call and running on across its segments. The gaps take
// the background colour in OPAQUE mode and are left alone otherwise. PS_NULL draws nothing.
// PS_INSIDEFRAME draws as PS_SOLID (every outline of this canvas lies inside its bounds).

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

// Null for an unknown style or a negative width.
HPEN CreatePen(int style, int width, COLORREF color);
HBRUSH CreateSolidBrush(COLORREF color);

}  // namespace corvane::gdi
