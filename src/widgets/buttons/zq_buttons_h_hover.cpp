// Hover tracking of zqButtons_H: the pointer's arrival (checked on every mouse move) and its departure
// (checked by the 50 ms hover timer on the button's window through modZqTimer::timer_proc).
#include <chrono>

#include "platform/cursor.h"
#include "platform/timers.h"
#include "platform/window_props.h"
#include "widgets/buttons/mod_zq_timer.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::HoverCheck(std::int16_t button) {
    if (pointerOver_) return;
    platform::Point point;
    if (!platform::GetCursorPos(point)) return;
    const platform::WindowHandle self = hwnd();
    if (platform::WindowFromPoint(point) != self) return;
    stateFlags_ |= kHotLook;
    bool onButton = true;
    emit MouseOnButton(onButton);
    if (!platform::SetPropA(self, "zq_ClassID", Identity())) return;
    if (!platform::SetPropA(self, "zq_TimerID", static_cast<platform::PropValue>(kHoverTimerId))) return;
    if (!platform::SetTimer(self, kHoverTimerId, std::chrono::milliseconds(kHoverIntervalMs), modZqTimer::timer_proc))
        return;
    pointerOver_ = true;
    delayDrawing_ = false;
    if ((button & 1) != 0) pressed_ = true;
    Redraw();
}

void zqButtons_H::CheckHoverExit(std::uintptr_t timerId) {
    platform::Point point;
    const platform::WindowHandle self = hwnd();
    if (platform::GetCursorPos(point) && platform::WindowFromPoint(point) == self) return;  // still hovering
    static_cast<void>(platform::KillTimer(self, timerId));
    stateFlags_ &= static_cast<std::uint16_t>(~kHotLook);
    pointerOver_ = false;
    delayDrawing_ = false;
    bool onButton = false;
    emit MouseOnButton(onButton);
    pressed_ = false;
    Redraw();
}

}  // namespace corvane::buttons
