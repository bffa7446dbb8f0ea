#pragma once
// DrawGradient: fills a canvas with a two-colour linear gradient in bands of one pixel, or of two pixels
// on buttons taller (or wider) than a quarter of the screen.
#include <QSize>
#include <cstdint>

#include "platform/gdi/gdi_types.h"
#include "widgets/buttons/ole_color.h"

namespace corvane::buttons {

// The desktop's size in pixels (the primary screen; 0 x 0 without an application).
QSize DesktopScreenSize();

// Paints width x height pixels of `canvas` from `from` to `to` (RGB values) in the direction of
// gradientMode: 1 left to right, 2 right to left, 3 top to bottom, 4 bottom to top; other modes paint
// nothing. Every band is one filled rectangle; a failing drawing call is skipped and the next band runs.
// Each band is drawn with FillBox, so the last band's brush and pen stay selected in the canvas.
void DrawGradient(gdi::HDC canvas, int width, int height, std::int32_t gradientMode, OleColor from, OleColor to,
                  QSize screen = DesktopScreenSize());

}  // namespace corvane::buttons
