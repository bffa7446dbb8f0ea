#include "service/count_saver.h"

namespace corvane::service {

CountSaver::CountSaver(std::function<std::int32_t()> count, std::function<bool(std::int32_t)> save, QObject* parent)
    : QObject(parent), count_(std::move(count)), save_(std::move(save)) {
    due_.setSingleShot(true);
    due_.setInterval(kDelay);
    connect(&due_, &QTimer::timeout, this, [this] {
        // A failed write (the store busy past its wait) is tried again a moment later.
        if (!Flush()) due_.start();
    });
}

void CountSaver::Stored(std::int32_t count) {
    haveStored_ = true;
    stored_ = count;
}

void CountSaver::Changed() {
    if (!due_.isActive()) due_.start();
}

bool CountSaver::Flush() {
    due_.stop();
    const std::int32_t count = count_();
    if (haveStored_ && count == stored_) return true;
    if (!save_(count)) return false;
    haveStored_ = true;
    stored_ = count;
    return true;
}

}  // namespace corvane::service
