#include "widgets/buttons/mod_zq_timer.h"

#include "platform/window_props.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons::modZqTimer {

void timer_proc(platform::WindowHandle hwnd, std::uint32_t /*uMsg*/, std::uintptr_t /*idEvent*/,
                std::uint32_t /*dwTime*/) {
    // The identity names a live button or nothing: a button that has ended can never be reached.
    zqButtons_H* button = zqButtons_H::FromIdentity(platform::GetPropA(hwnd, "zq_ClassID"));
    if (button == nullptr) return;
    const auto timerId = static_cast<std::uintptr_t>(platform::GetPropA(hwnd, "zq_TimerID"));
    button->CheckHoverExit(timerId);
}

}  // namespace corvane::buttons::modZqTimer
