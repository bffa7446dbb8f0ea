#pragma once
// Timers of the window thread.
//
// IntervalTimer is a repeating timer owned by a window (the scan timer `tFire` is one): precise, so an
// interval of 1 ms fires as often as the system's timer allows, and disabled until enabled.
//
// SetTimer/KillTimer are per-window numbered timers with a callback (the buttons' hover timer): a timer
// is named by its window and its identifier, so the same identifier on two windows does not collide, and
// setting an existing one again restarts it with the new interval.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/window.h"

namespace corvane::platform {

class IntervalTimer {
public:
    explicit IntervalTimer(std::function<void()> onTick);
    ~IntervalTimer();
    IntervalTimer(const IntervalTimer&) = delete;
    IntervalTimer& operator=(const IntervalTimer&) = delete;

    void SetInterval(std::chrono::milliseconds interval);
    void SetEnabled(bool enabled);
    bool Enabled() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The callback of a numbered window timer: the window, the message (WM_TIMER), the timer's identifier
// and the tick time in milliseconds since the system started.
using TimerProc =
    std::function<void(WindowHandle window, std::uint32_t message, std::uintptr_t id, std::uint32_t time)>;

inline constexpr std::uint32_t WM_TIMER = 0x0113;

// Starts (or restarts with a new interval and callback) timer `id` of `window`. The timer lives at most
// as long as its window. False when the handle names no live window or the callback is empty.
[[nodiscard]] bool SetTimer(WindowHandle window, std::uintptr_t id, std::chrono::milliseconds interval, TimerProc proc);

// Stops timer `id` of `window`; false when there was no such timer. Safe inside the timer's own callback.
bool KillTimer(WindowHandle window, std::uintptr_t id);

// Whether timer `id` of `window` is running.
bool TimerActive(WindowHandle window, std::uintptr_t id);

// The interval timer `id` of `window` runs at; nothing when there is no such timer.
std::optional<std::chrono::milliseconds> TimerInterval(WindowHandle window, std::uintptr_t id);

}  // namespace corvane::platform
