#include "widgets/buttons/system_colors.h"

#include <array>

namespace corvane::buttons {
namespace {

// The desktop's standard colours by system colour index (written as 0xRRGGBB for reading).
constexpr std::array<int, 31> kStandard = {
    0xC8C8C8, 0x000000, 0x99B4D1, 0xBFCDDB, 0xF0F0F0, 0xFFFFFF, 0x646464, 0x000000,  //  0..7
    0x000000, 0x000000, 0xB4B4B4, 0xF4F7FC, 0xABABAB, 0x0078D7, 0xFFFFFF, 0xF0F0F0,  //  8..15
    0xA0A0A0, 0x6D6D6D, 0x000000, 0x000000, 0xFFFFFF, 0x696969, 0xE3E3E3, 0x000000,  // 16..23
    0xFFFFE1, 0x000000, 0x0066CC, 0xB9D1EA, 0xD7E4F2, 0x3399FF, 0xF0F0F0,            // 24..30
};

}  // namespace

OleColor PlatformSystemColor(int index) {
    if (index < 0 || index >= static_cast<int>(kStandard.size())) return kBlack;
    const int rrggbb = kStandard[static_cast<std::size_t>(index)];
    return Rgb((rrggbb >> 16) & 0xFF, (rrggbb >> 8) & 0xFF, rrggbb & 0xFF);
}

}  // namespace corvane::buttons
