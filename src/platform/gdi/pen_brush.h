#pragma once
// Pens and brushes. A pen of width 0 or 1 draws one-pixel lines. PS_DASH, PS_DOT, PS_DASHDOT and
// PS_DASHDOTDOT are dashed only at width 0 or 1 (wider they draw solid); their patterns, in
// pixels along the line's major axis, are 18 on 6 off, 3 on 3 off, 9-6-3-6 and 9-3-3-3-3-3,
// starting afresh at each Polyline or Arc call and running on across its segments. The gaps take
// the background colour in OPAQUE mode and are left alone otherwise. PS_NULL draws nothing.
// A pen wider than one pixel draws with a round tip centred on the line (shapes.h says how each
// figure places it); widths above 65536 draw as 65536. PS_INSIDEFRAME draws as PS_SOLID, except that
// Rectangle and Arc keep a wide one inside their bounds.

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

// Null for an unknown style or a negative width.
HPEN CreatePen(int style, int width, COLORREF color);
HBRUSH CreateSolidBrush(COLORREF color);

}  // namespace corvane::gdi
