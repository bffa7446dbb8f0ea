#pragma once
// modZqTimer: the callback of the buttons' hover timers. It finds the button again through the
// "zq_ClassID" property of the window that owns the timer and asks it whether the pointer is still there.
#include <cstdint>

#include "platform/window.h"

namespace corvane::buttons::modZqTimer {

// Only the window handle is used; every failure is ignored.
void timer_proc(platform::WindowHandle hwnd, std::uint32_t uMsg, std::uintptr_t idEvent, std::uint32_t dwTime);

}  // namespace corvane::buttons::modZqTimer
