#pragma once
// Palettes. Every surface of the canvas is true colour, so there is one palette, the stock
// DEFAULT_PALETTE, and nothing to map: selecting and realising are accepted and change no pixel.

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

// Records the palette as the context's and returns the one it had (a new context has the default
// palette). A null palette stands for the default one. Null on failure: an invalid context or a
// handle that is not a palette.
HPALETTE SelectPalette(HDC dc, HPALETTE palette, BOOL forceBackground);
// The number of entries mapped into the system palette: always 0 here. GDI_ERROR for an invalid
// context.
UINT RealizePalette(HDC dc);

}  // namespace corvane::gdi
