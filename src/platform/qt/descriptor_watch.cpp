#include "platform/descriptor_watch.h"

#include <QSocketNotifier>

namespace corvane::platform {

struct DescriptorWatch::Impl {
    Impl(int fd, std::function<void()> callback)
        : notifier(fd, QSocketNotifier::Read), onReadable(std::move(callback)) {
        QObject::connect(&notifier, &QSocketNotifier::activated, [this] {
            if (onReadable) onReadable();
        });
    }
    QSocketNotifier notifier;
    std::function<void()> onReadable;
};

DescriptorWatch::DescriptorWatch(int fd, std::function<void()> onReadable)
    : impl_(std::make_unique<Impl>(fd, std::move(onReadable))) {}

DescriptorWatch::~DescriptorWatch() = default;

void DescriptorWatch::SetEnabled(bool enabled) { impl_->notifier.setEnabled(enabled); }

}  // namespace corvane::platform
