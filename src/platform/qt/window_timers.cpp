// Numbered per-window timers on QTimer. Each timer is a child of its window, so it can never outlive it
// and never tick for a window that is gone.
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <utility>

#include "platform/timers.h"

namespace corvane::platform {
namespace {

struct TimerKey {
    WindowHandle window;
    std::uintptr_t id;
    bool operator==(const TimerKey&) const = default;
};

size_t qHash(const TimerKey& key, size_t seed = 0) noexcept { return qHashMulti(seed, key.window, key.id); }

QHash<TimerKey, QPointer<QTimer>>& Timers() {
    static QHash<TimerKey, QPointer<QTimer>> timers;
    return timers;
}

std::uint32_t TickCount() {
    static QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return static_cast<std::uint32_t>(clock.elapsed());
}

}  // namespace

bool SetTimer(WindowHandle window, std::uintptr_t id, std::chrono::milliseconds interval, TimerProc proc) {
    QWidget* widget = WindowOf(window);
    if (widget == nullptr || !proc) return false;
    // Setting an existing timer again replaces it: the old one stops and goes with its callback.
    KillTimer(window, id);
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(interval);
    QObject::connect(timer.get(), &QTimer::timeout,
                     [window, id, callback = std::move(proc)] { callback(window, WM_TIMER, id, TickCount()); });
    QTimer* owned = timer.release();
    owned->setParent(widget);  // the window owns its timers from here on
    const TimerKey key{window, id};
    Timers().insert(key, QPointer<QTimer>(owned));
    QObject::connect(owned, &QObject::destroyed, [key, owned] {
        // Forget the entry of a timer that went with its window (not a newer timer under the same key).
        auto it = Timers().find(key);
        if (it != Timers().end() && (it->isNull() || it->data() == owned)) Timers().erase(it);
    });
    owned->start();
    return true;
}

bool KillTimer(WindowHandle window, std::uintptr_t id) {
    QPointer<QTimer> timer = Timers().take(TimerKey{window, id});
    if (timer.isNull()) return false;
    timer->stop();
    // The callback may be running right now (a timer that stops itself): delete once control is back.
    timer->deleteLater();
    return true;
}

bool TimerActive(WindowHandle window, std::uintptr_t id) {
    auto it = Timers().constFind(TimerKey{window, id});
    return it != Timers().constEnd() && !it->isNull() && (*it)->isActive();
}

std::optional<std::chrono::milliseconds> TimerInterval(WindowHandle window, std::uintptr_t id) {
    auto it = Timers().constFind(TimerKey{window, id});
    if (it == Timers().constEnd() || it->isNull()) return std::nullopt;
    return (*it)->intervalAsDuration();
}

}  // namespace corvane::platform
