#pragma once
// Posting window messages. Only the keyboard message the buttons need is understood: WM_KEYDOWN with a
// virtual-key code in wParam and the repeat count and scan code in lParam arrives at the target window
// later, from the message loop, as a key press the window handles like a typed key.
#include <cstdint>

#include "platform/window.h"

namespace corvane::platform {

inline constexpr std::uint32_t WM_KEYDOWN = 0x0100;

// Virtual-key codes the system uses.
inline constexpr int VK_BACK = 8, VK_TAB = 9, VK_RETURN = 13, VK_SHIFT = 16, VK_CONTROL = 17, VK_MENU = 18,
                     VK_ESCAPE = 27, VK_SPACE = 32, VK_PRIOR = 33, VK_NEXT = 34, VK_END = 35, VK_HOME = 36,
                     VK_LEFT = 37, VK_UP = 38, VK_RIGHT = 39, VK_DOWN = 40, VK_INSERT = 45, VK_DELETE = 46, VK_F1 = 112;

// Posts the message; false when the window is gone or the message is not one this platform carries.
[[nodiscard]] bool PostMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                std::intptr_t lParam);

// The Qt key of a virtual-key code (Qt::Key_unknown when there is none) and back (0 when none).
int QtKeyFromVirtualKey(int virtualKey);
int VirtualKeyFromQtKey(int qtKey);

}  // namespace corvane::platform
