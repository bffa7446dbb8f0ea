#pragma once
// The button canvas's drawing tools. A brush or pen is made for each use and selected into the canvas;
// the one it replaces is deleted, so the canvas always holds the last tools made and nothing else is kept.
// The canvas's initial brush and pen are set aside when the canvas is made (they are never replaced here).
#include "platform/gdi/gdi_types.h"
#include "widgets/buttons/ole_color.h"

namespace corvane::buttons {

// A solid brush of `color` into the canvas; the replaced brush is deleted.
void SelectNewBrush(gdi::HDC canvas, OleColor color);
// A pen of `style`, `width` and `color` into the canvas; the replaced pen is deleted.
void SelectNewPen(gdi::HDC canvas, int style, int width, OleColor color);

// One filled rectangle left..right-1 by top..bottom-1. With border -1 the brush and a 1-pixel solid pen of
// the fill colour; otherwise a pen of the border colour, width and style around a fill of the brush. Both
// tools stay selected in the canvas afterwards.
void FillBox(gdi::HDC canvas, int left, int top, int right, int bottom, OleColor fill, OleColor border = -1,
             int borderWidth = 1, int borderStyle = 0);

}  // namespace corvane::buttons
