#pragma once
// Window properties: named pointer-sized integers attached to a window (the buttons' "zq_ClassID",
// "zq_TimerID", and the option-group records "zq_OptCount" / "zq_Obj" + slot on a container).
// Names are matched without regard to case. A property that was never set reads as 0. A window's
// properties vanish with the window, so a stale handle can neither read nor write anything.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window.h"

namespace corvane::platform {

using PropValue = std::intptr_t;

// Sets (or replaces) the property; false when the handle names no live window or the name is empty.
[[nodiscard]] bool SetPropA(WindowHandle window, std::string_view name, PropValue value);

// The property's value; 0 when it is missing or the window is gone.
PropValue GetPropA(WindowHandle window, std::string_view name);

// Removes the property and returns the value it had (0 when there was none).
PropValue RemovePropA(WindowHandle window, std::string_view name);

// The names of the window's properties, in lower case, in no particular order (what EnumProps would
// list): tells a property that holds 0 from one that is not there.
std::vector<std::string> PropNames(WindowHandle window);

}  // namespace corvane::platform
