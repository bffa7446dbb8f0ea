#pragma once
// The desktop's system colours (button face, button text, window, highlight, ...) as RGB values.
#include "widgets/buttons/ole_color.h"

namespace corvane::buttons {

// The RGB value of system colour `index` from the desktop's standard colour table; black for an index
// the desktop does not define.
OleColor PlatformSystemColor(int index);

}  // namespace corvane::buttons
