#pragma once
// The desktop's system colours (button face, button text, window, highlight, ...) as RGB values.
#include "widgets/buttons/ole_color.h"

namespace corvane::buttons {

// The RGB value of system colour `index`, answered by the drawing platform's GetSysColor.
OleColor PlatformSystemColor(int index);

}  // namespace corvane::buttons
