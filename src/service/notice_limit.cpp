#include "service/notice_limit.h"

#include <utility>

namespace corvane::service {

NoticeLimit::NoticeLimit(std::function<void(const std::string&)> sink, std::string what, QObject* parent)
    : QObject(parent), sink_(std::move(sink)), what_(std::move(what)) {
    owed_.setSingleShot(true);
    connect(&owed_, &QTimer::timeout, this, &NoticeLimit::PeriodOver);
}

NoticeLimit::~NoticeLimit() = default;

void NoticeLimit::Say(const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    if (!inPeriod_ || now - periodStart_ >= kPeriod) {
        Flush();
        inPeriod_ = true;
        periodStart_ = now;
        lines_ = 0;
    }
    if (lines_ < kLines) {
        ++lines_;
        sink_(line);
        return;
    }
    if (leftOut_++ == 0)
        owed_.start(std::chrono::ceil<std::chrono::milliseconds>(periodStart_ + kPeriod - now));
}

void NoticeLimit::Flush() {
    owed_.stop();
    if (leftOut_ == 0) return;
    sink_(std::to_string(leftOut_) + " more " + what_ + " not logged (at most " + std::to_string(kLines) +
          " lines in " + std::to_string(kPeriod.count()) + " seconds)");
    leftOut_ = 0;
}

void NoticeLimit::PeriodOver() {
    Flush();
    inPeriod_ = false;
}

}  // namespace corvane::service
