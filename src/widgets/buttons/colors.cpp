#include "widgets/buttons/colors.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "widgets/buttons/system_colors.h"

namespace corvane::buttons {
namespace {

SystemColorSource& Source() {
    static SystemColorSource source = PlatformSystemColor;
    return source;
}

// Round half to even, independent of the floating-point environment's rounding mode.
double RoundHalfEven(double value) {
    const double floor = std::floor(value);
    const double fraction = value - floor;
    if (fraction > 0.5) return floor + 1.0;
    if (fraction < 0.5) return floor;
    return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

int Clamp255(double value) { return static_cast<int>(std::clamp(value, 0.0, 255.0)); }

OleColor ShiftOnce(OleColor color, int delta, bool blueScale, bool invert) {
    const double red = static_cast<double>(color & 0xFF) + delta;
    const double green = RoundHalfEven(static_cast<double>(color & 0xFF00) / 255.0 + delta);
    double blue = 0;
    if (blueScale) {
        const int b0 = static_cast<int>(RoundHalfEven(static_cast<double>(color & 0xFF0000) / 65280.0));
        blue = b0 + (delta * b0) / 192;  // integer division, truncated toward zero
    } else {
        blue = RoundHalfEven(static_cast<double>(color & 0xFF0000) / 65280.0 + delta);
    }
    int r = Clamp255(red), g = Clamp255(green), b = Clamp255(blue);
    if (invert) {
        r = 255 - r;
        g = 255 - g;
        b = 255 - b;
    }
    return r + g * 256 + b * 65536;
}

}  // namespace

SystemColorSource SetSystemColorSource(SystemColorSource source) {
    if (!source) source = PlatformSystemColor;
    return std::exchange(Source(), std::move(source));
}

OleColor SystemColor(int index) { return Source()(index & 0xFF); }

OleColor TranslateColor(OleColor color) { return color < 0 ? SystemColor(color & 0xFF) : color; }

OleColor ShiftColor(OleColor color, std::int16_t& delta, bool blueScale, bool avoidBlackWhite, bool invert) {
    // A step that turns the colour black (or white) either way would flip forever; each step is tried
    // once, and when the flip comes back to a step already tried, that result stands.
    std::int16_t tried[3] = {delta, 0, 0};
    int triedCount = 1;
    for (;;) {
        const OleColor result = ShiftOnce(color, delta, blueScale, invert);
        if (!avoidBlackWhite || (result != kBlack && result != kWhite)) return result;
        const auto next = static_cast<std::int16_t>(delta == 0 ? 64 : -delta);
        if (std::find(tried, tried + triedCount, next) != tried + triedCount || triedCount == 3) return result;
        delta = next;
        tried[triedCount++] = next;
    }
}

OleColor ShiftColor(OleColor color, int delta, bool blueScale) {
    auto step = static_cast<std::int16_t>(delta);
    return ShiftColor(color, step, blueScale, false, false);
}

DerivedColors DeriveFaceColors(std::int32_t buttonStyle, OleColor backColor, OleColor hoverBackColor) {
    DerivedColors c;
    c.face = c.pressed = TranslateColor(backColor);
    c.hot = TranslateColor(hoverBackColor);
    switch (buttonStyle) {
        case 2:
            c.face = ShiftColor(c.face, 48, true);
            c.pressed = ShiftColor(c.face, -32, true);
            c.hot = ShiftColor(c.hot, 48, true);
            c.checked = ShiftColor(kWhite, -32, true);
            break;
        case 3:
            c.pressed = ShiftColor(0x808080, 12);
            c.checked = ShiftColor(c.pressed, 31);
            break;
        case 7:
            c.face = ShiftColor(c.face, 31);
            c.pressed = ShiftColor(0x808080, -16);
            c.hot = ShiftColor(c.hot, 31);
            c.checked = ShiftColor(0x808080, 16, true);
            break;
        default:
            c.checked = ShiftColor(kWhite, -32);
            break;
    }
    return c;
}

void BuildGradientColors(std::span<OleColor> list, OleColor from, OleColor to) {
    if (list.empty()) return;
    list[0] = from;
    const auto upper = static_cast<float>(list.size() - 1);
    if (list.size() == 1) return;  // one band: nothing to step
    float red = static_cast<float>(from & 0xFF);
    float green = static_cast<float>(from & 0xFF00) / 255.0F;
    float blue = static_cast<float>(from & 0xFF0000) / 65280.0F;
    const int endRed = to & 0xFF;
    const int endGreen = static_cast<int>(RoundHalfEven(static_cast<double>(to & 0xFF00) / 255.0));
    const int endBlue = static_cast<int>(RoundHalfEven(static_cast<double>(to & 0xFF0000) / 65280.0));
    const float stepRed = (static_cast<float>(endRed) - red) / upper;
    const float stepGreen = (static_cast<float>(endGreen) - green) / upper;
    const float stepBlue = (static_cast<float>(endBlue) - blue) / upper;
    for (std::size_t k = 1; k < list.size(); ++k) {
        red = std::clamp(red + stepRed, 0.0F, 255.0F);
        green = std::clamp(green + stepGreen, 0.0F, 255.0F);
        blue = std::clamp(blue + stepBlue, 0.0F, 255.0F);
        list[k] = static_cast<OleColor>(std::floor(green)) * 256 + static_cast<OleColor>(std::floor(red)) +
                  static_cast<OleColor>(std::floor(blue)) * 65536;
    }
}

GradientBands PlanGradient(std::int32_t gradientMode, int width, int height, int screenWidth, int screenHeight) {
    GradientBands plan;
    int extent = 0;
    int screen = 0;
    if (gradientMode == 3 || gradientMode == 4) {
        extent = height;
        screen = screenHeight;
    } else if (gradientMode == 1 || gradientMode == 2) {
        plan.horizontal = true;
        extent = width;
        screen = screenWidth;
    } else {
        return plan;
    }
    if (extent <= 0) return plan;  // nothing to divide: no bands
    if (screen / extent < 4) {
        plan.count = extent / 2;
        plan.width = 2;
    } else {
        plan.count = extent;
        plan.width = 1;
    }
    return plan;
}

}  // namespace corvane::buttons
