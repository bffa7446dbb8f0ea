#include "service/property_signals.h"

namespace corvane::service {

namespace {
constexpr qint64 kPauseMs = 1000 / PropertySignals::kPerSecond;
}

PropertySignals::PropertySignals(std::function<QVariantMap()> read, std::function<void(const QVariantMap&)> send,
                                 QObject* parent)
    : QObject(parent), read_(std::move(read)), send_(std::move(send)) {
    due_.setSingleShot(true);
    due_.setTimerType(Qt::PreciseTimer);
    connect(&due_, &QTimer::timeout, this, &PropertySignals::SendNow);
}

void PropertySignals::Reset() {
    due_.stop();
    told_ = read_();
}

void PropertySignals::MarkChanged() {
    if (due_.isActive()) return;  // goes out with the signal already due
    const qint64 since = sinceSent_.isValid() ? sinceSent_.elapsed() : kPauseMs;
    if (since >= kPauseMs) {
        SendNow();
    } else {
        due_.start(static_cast<int>(kPauseMs - since));
    }
}

void PropertySignals::SendNow() {
    const QVariantMap now = read_();
    QVariantMap changed;
    for (auto value = now.constBegin(); value != now.constEnd(); ++value) {
        const auto before = told_.constFind(value.key());
        if (before == told_.constEnd() || before.value() != value.value()) changed.insert(value.key(), value.value());
    }
    if (changed.isEmpty()) return;  // changed and changed back: nothing to tell
    told_ = now;
    sinceSent_.start();
    send_(changed);
}

}  // namespace corvane::service
