#pragma once
// The engine's host on Qt Core's event loop: the 1 ms tick of the timer engine, the watch on the
// kernel's report descriptor of the event engine, and the loop's pending events for a scan that
// yields. No window system is involved.
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <memory>

#include "engine/scan_host.h"

namespace corvane::service {

class QtScanHost final : public QObject, public engine::ScanHost {
    Q_OBJECT
public:
    explicit QtScanHost(QObject* parent = nullptr);
    ~QtScanHost() override;

    // What a tick does (the engine's Tick) and what an engine change does (re-deciding the tick).
    void SetTickHandler(std::function<void()> onTick) { onTick_ = std::move(onTick); }
    void SetEngineChangedHandler(std::function<void()> onChanged) { onEngineChanged_ = std::move(onChanged); }
    void SetCountChangedHandler(std::function<void()> onCount) { onCount_ = std::move(onCount); }

    // The 1 ms tick runs while enabled.
    void SetTicking(bool on);
    bool Ticking() const { return tick_.isActive(); }

    // engine::ScanHost
    void Yield() override;
    void CountChanged(std::int32_t count) override;
    bool WatchDescriptor(int fd, std::function<void()> onReadable) override;
    bool WakeAfter(std::chrono::milliseconds delay, std::function<void()> then) override;
    void EngineChanged() override;

private:
    // Ends the current watch. It may be ending from inside its own callback, so the notifier is only
    // disabled here and deleted by the loop later.
    void DropWatch();

    QTimer tick_;
    std::function<void()> onTick_;
    QTimer wake_;  // single shot, armed only while the engine owes something
    std::function<void()> onWake_;
    std::function<void()> onEngineChanged_;
    std::function<void()> onCount_;
    QSocketNotifier* watch_ = nullptr;  // a child of this object
    std::function<void()> onReadable_;
};

}  // namespace corvane::service
