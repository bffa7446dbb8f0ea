#pragma once
// The colour arithmetic every painter of the button goes through: resolving colour values, shifting a
// colour channel by channel, the four derived face colours, and the bands of a linear gradient.
#include <cstdint>
#include <functional>
#include <span>

#include "widgets/buttons/ole_color.h"

namespace corvane::buttons {

// The RGB value of system colour `index` (0..255). The drawing platform answers by default; tests and the
// drawing platform's own start-up may install another source.
using SystemColorSource = std::function<OleColor(int index)>;
SystemColorSource SetSystemColorSource(SystemColorSource source);
OleColor SystemColor(int index);

// A system colour reference resolves through SystemColor(value And 0xFF); any other value is itself.
OleColor TranslateColor(OleColor color);

// Shifts each channel by `delta`; green and blue are scaled by 256/255 and rounded half to even. With
// blueScale the blue channel moves by delta scaled with its own brightness. With avoidBlackWhite a black
// or white result flips the step (64 when it was 0), writes it back to `delta` and starts again.
OleColor ShiftColor(OleColor color, std::int16_t& delta, bool blueScale = false, bool avoidBlackWhite = false,
                    bool invert = false);
// The same for callers that pass a literal step.
OleColor ShiftColor(OleColor color, int delta, bool blueScale = false);

struct DerivedColors {
    OleColor face = 0;     // FaceColor
    OleColor pressed = 0;  // PressedFaceColor
    OleColor hot = 0;      // HotFaceColor
    OleColor checked = 0;  // CheckedFaceColor
};

// The face colours of a button style computed from BackColor and HoverBackColor.
DerivedColors DeriveFaceColors(std::int32_t buttonStyle, OleColor backColor, OleColor hoverBackColor);

// Fills list[0..u] with a gradient from `from` to `to` in single precision (list[0] is `from` itself).
void BuildGradientColors(std::span<OleColor> list, OleColor from, OleColor to);

// How DrawGradient cuts the inner area into bands.
struct GradientBands {
    bool horizontal = false;  // modes 1 and 2 run across, 3 and 4 down
    int count = 0;            // number of bands
    int width = 0;            // band width in pixels (1, or 2 when the button exceeds a quarter of the screen)
};
GradientBands PlanGradient(std::int32_t gradientMode, int width, int height, int screenWidth, int screenHeight);

}  // namespace corvane::buttons
