#include "service/qt_scan_host.h"

#include <QCoreApplication>

namespace corvane::service {

QtScanHost::QtScanHost(QObject* parent) : QObject(parent) {
    tick_.setTimerType(Qt::PreciseTimer);
    tick_.setInterval(1);
    connect(&tick_, &QTimer::timeout, this, [this] {
        if (onTick_) onTick_();
    });
    wake_.setSingleShot(true);
    connect(&wake_, &QTimer::timeout, this, [this] {
        // Moved out first: the callback may arm the next wake.
        const std::function<void()> then = std::move(onWake_);
        onWake_ = nullptr;
        if (then) then();
    });
}

QtScanHost::~QtScanHost() = default;

void QtScanHost::SetTicking(bool on) {
    if (on == tick_.isActive()) return;
    if (on)
        tick_.start();
    else
        tick_.stop();
}

void QtScanHost::Yield() { QCoreApplication::processEvents(); }

void QtScanHost::CountChanged(std::int32_t count) {
    static_cast<void>(count);  // read by the handler from the engine, with the rest of the state
    if (onCount_) onCount_();
}

void QtScanHost::DropWatch() {
    if (watch_ == nullptr) return;
    watch_->setEnabled(false);
    watch_->deleteLater();
    watch_ = nullptr;
}

bool QtScanHost::WatchDescriptor(int fd, std::function<void()> onReadable) {
    DropWatch();
    if (fd < 0) {
        onReadable_ = nullptr;
        return true;
    }
    onReadable_ = std::move(onReadable);
    watch_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(watch_, &QSocketNotifier::activated, this, [this] {
        // Copied: the callback may end this very watch.
        const std::function<void()> callback = onReadable_;
        if (callback) callback();
    });
    return true;
}

bool QtScanHost::WakeAfter(std::chrono::milliseconds delay, std::function<void()> then) {
    onWake_ = std::move(then);
    if (!onWake_) {
        wake_.stop();
        return true;
    }
    wake_.start(delay);
    return true;
}

void QtScanHost::EngineChanged() {
    if (onEngineChanged_) onEngineChanged_();
}

}  // namespace corvane::service
