#include <QTimer>

#include "platform/timers.h"

namespace corvane::platform {

struct IntervalTimer::Impl {
    QTimer timer;
};

IntervalTimer::IntervalTimer(std::function<void()> onTick) : impl_(std::make_unique<Impl>()) {
    impl_->timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&impl_->timer, &QTimer::timeout, [tick = std::move(onTick)] { tick(); });
}

IntervalTimer::~IntervalTimer() = default;

void IntervalTimer::SetInterval(std::chrono::milliseconds interval) { impl_->timer.setInterval(interval); }

void IntervalTimer::SetEnabled(bool enabled) {
    if (enabled == impl_->timer.isActive()) return;
    if (enabled)
        impl_->timer.start();
    else
        impl_->timer.stop();
}

bool IntervalTimer::Enabled() const { return impl_->timer.isActive(); }

}  // namespace corvane::platform
