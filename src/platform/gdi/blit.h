#pragma once
// Block transfers with ternary raster operations (rop.h). The pattern is the destination
// context's brush (a null brush leaves operations that need a pattern undone). Colour rules
// between formats:
// - monochrome source onto colour destination: black source pixels become the destination
//   context's text colour, white ones its background colour;
// - colour source onto monochrome destination: source pixels equal to the source context's
//   background colour become white, all others black;
// - on a monochrome destination the brush colour is black or white by nearness (objects.h).
// Only destination pixels whose source pixel lies inside the source bitmap are written; the
// destination's clip region applies, the source's does not. Source and destination may share a
// bitmap (overlap included): the source is read as it was before the call.

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

// A negative width covers x + width + 1 .. x (x itself included), a negative height likewise; this
// holds for the destination and the source rectangles of every transfer below.

// The rectangle x..x+width-1 by y..y+height-1 combined with the brush; rop must not use a source.
BOOL PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop);

// Same-size transfer from (xSrc, ySrc) in source to (x, y) in dest. source may be null when the
// rop uses no source. A negative size turns both rectangles alike, so nothing is mirrored.
BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int xSrc, int ySrc, DWORD rop);

// Scaled transfer: each destination pixel takes the source pixel under its centre,
// index floor((2 i + 1) * sourceSize / (2 * destSize)) on each axis. Where an axis shrinks, the
// destination context's stretch mode decides: BLACKONWHITE (the default) ANDs and WHITEONBLACK
// ORs all the source pixels whose centres fall into the destination pixel, before any format
// conversion and the rop; COLORONCOLOR and HALFTONE keep the pixel under the centre. Opposite signs
// of a destination and a source size mirror that axis: the destination's first pixel (x + width + 1
// for a negative width) takes the source's last one.
// Stretch modes: returns the previous mode, 0 on failure.
int SetStretchBltMode(HDC dc, int mode);
int GetStretchBltMode(HDC dc);

BOOL StretchBlt(HDC dest, int x, int y, int width, int height, HDC source, int xSrc, int ySrc, int widthSrc,
                int heightSrc, DWORD rop);

}  // namespace corvane::gdi
