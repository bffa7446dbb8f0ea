// Hover tracking of zqButtons_H: the pointer's arrival (checked on every mouse move) and its departure
// (checked by the 50 ms hover timer on the button's window through modZqTimer::timer_proc).
//
// Both checks read the pointer's screen position and ask which window is there. Where the window
// system gives no screen position (a Wayland client sees the pointer only over its own surfaces, and
// QCursor::pos keeps the last place it was seen there), the mouse moves tell whether the pointer is on
// the control, and a leave event ends the hover as the timer would.
#include <QEvent>

#include <chrono>

#include "platform/cursor.h"
#include "platform/timers.h"
#include "platform/window_props.h"
#include "widgets/buttons/mod_zq_timer.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::HoverCheck(std::int16_t button, float x, float y) {
    const bool global = platform::CursorPositionIsGlobal();
    // Moves keep coming while a held button drags the pointer off the control.
    if (!global) pointerInside_ = x >= 0 && y >= 0 && x < static_cast<float>(width()) && y < static_cast<float>(height());
    if (pointerOver_) return;
    const platform::WindowHandle self = hwnd();
    if (global) {
        platform::Point point;
        if (!platform::GetCursorPos(point)) return;
        if (platform::WindowFromPoint(point) != self) return;
    } else if (!pointerInside_) {
        return;
    }
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
    const platform::WindowHandle self = hwnd();
    if (platform::CursorPositionIsGlobal()) {
        platform::Point point;
        if (platform::GetCursorPos(point) && platform::WindowFromPoint(point) == self) return;  // still hovering
    } else if (pointerInside_) {
        return;
    }
    static_cast<void>(platform::KillTimer(self, timerId));
    stateFlags_ &= static_cast<std::uint16_t>(~kHotLook);
    pointerOver_ = false;
    delayDrawing_ = false;
    bool onButton = false;
    emit MouseOnButton(onButton);
    pressed_ = false;
    Redraw();
}

void zqButtons_H::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    // With a screen position the timer sees the pointer go; the rules there stay the timer's alone.
    if (platform::CursorPositionIsGlobal()) return;
    pointerInside_ = false;
    if (pointerOver_) CheckHoverExit(static_cast<std::uintptr_t>(platform::GetPropA(hwnd(), "zq_TimerID")));
}

}  // namespace corvane::buttons
