#pragma once
// Text in a rectangle with the context's font, text colour and background mode.
// - Lines break at CR LF (also a lone CR or LF). With DT_WORDBREAK a line also breaks before a
//   word that would pass the rectangle's right edge (the spaces at the break are dropped); a word
//   wider than the rectangle keeps a line of its own. DT_SINGLELINE keeps one line.
// - Each line is placed at the left (DT_LEFT), centre (DT_CENTER: left + (width - line) / 2,
//   rounded down) or right (DT_RIGHT) of the rectangle; lines are as high as the font's
//   ascent + descent and start at the top (DT_SINGLELINE with DT_VCENTER or DT_BOTTOM moves it).
// - "&" underlines the next character and is not shown; "&&" shows one "&" (unless DT_NOPREFIX).
// - Glyph pixels take the text colour (aliased fonts: exactly; smoothed fonts blend by coverage);
//   in OPAQUE mode each line's box is first filled with the background colour. Drawing is clipped
//   to the rectangle unless DT_NOCLIP, and always to the clip region.
// - DT_CALCRECT draws nothing: it sets right to left + the widest line and bottom to top + the
//   total height.
// Returns the total height of the text, 0 on failure (invalid context, no application fonts).
// Characters are taken as Latin-1.

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

int DrawTextA(HDC dc, const char* text, int count, RECT* rect, UINT format);

}  // namespace corvane::gdi
