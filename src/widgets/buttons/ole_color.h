#pragma once
// Colour values of the button control: a signed 32-bit integer. Non-negative values are RGB with red in
// bits 0-7, green in 8-15 and blue in 16-23; a negative value (top bit set, 0x80000000 + n) names system
// colour n.
#include <cstdint>

namespace corvane::buttons {

using OleColor = std::int32_t;

constexpr OleColor Rgb(int red, int green, int blue) {
    return static_cast<OleColor>((red & 0xFF) | ((green & 0xFF) << 8) | ((blue & 0xFF) << 16));
}

constexpr OleColor SystemColorRef(int index) {
    return static_cast<OleColor>(0x80000000u | static_cast<std::uint32_t>(index & 0xFF));
}

inline constexpr OleColor kButtonFace = SystemColorRef(15);  // 0x8000000F
inline constexpr OleColor kButtonText = SystemColorRef(18);  // 0x80000012
inline constexpr OleColor kBlack = 0x000000;
inline constexpr OleColor kWhite = 0xFFFFFF;

}  // namespace corvane::buttons
