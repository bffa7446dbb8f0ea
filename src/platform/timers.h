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

}  // namespace corvane::platform
