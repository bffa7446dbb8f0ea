#pragma once
// org.freedesktop.DBus.Properties.PropertiesChanged for the service's interface: every change is
// told, at most kPerSecond signals a second. A change within the pause after a signal waits for the
// pause's end and then goes out with whatever else changed meanwhile, always at its latest value.
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

#include <functional>

namespace corvane::service {

class PropertySignals final : public QObject {
    Q_OBJECT
public:
    static constexpr int kPerSecond = 20;

    // `read` gives every property's current value; `send` hands one signal's changed values on.
    PropertySignals(std::function<QVariantMap()> read, std::function<void(const QVariantMap& changed)> send,
                    QObject* parent = nullptr);

    // Something may have changed: told now, or at the end of the current pause.
    void MarkChanged();
    // The values the last signal (or the start) left the listeners with.
    const QVariantMap& Told() const { return told_; }
    // Starts over from the current values without telling anyone (at start-up).
    void Reset();

private:
    void SendNow();

    std::function<QVariantMap()> read_;
    std::function<void(const QVariantMap&)> send_;
    QVariantMap told_;
    QTimer due_;
    QElapsedTimer sinceSent_;  // invalid until the first signal
};

}  // namespace corvane::service
