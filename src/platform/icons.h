#pragma once
// Icons as plain handles: the program's icons are compiled into the executable and looked up by name.
#include <cstdint>
#include <string_view>

namespace corvane::platform {

using IconHandle = std::uintptr_t;  // 0 names no icon

// Loads an icon compiled into the program (":/corvane/icons/corvane.ico") or from a file. The same name
// gives the same handle; 0 when it cannot be read.
IconHandle LoadIconResource(std::string_view name);

}  // namespace corvane::platform
