#pragma once
// A rate limit for a kind of log line that callers can cause at will (installs of definitions):
// at most kLines lines in a period; the others are counted and said in one line when the period is
// over, from a timer armed only while something is owed.
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace corvane::service {

class NoticeLimit final : public QObject {
    Q_OBJECT
public:
    static constexpr int kLines = 5;
    static constexpr std::chrono::seconds kPeriod{10};

    // `what` names the lines left out: "12 more <what> not logged".
    NoticeLimit(std::function<void(const std::string&)> sink, std::string what, QObject* parent = nullptr);
    ~NoticeLimit() override;

    void Say(const std::string& line);
    // Says what is owed now (at stop).
    void Flush();

private:
    void PeriodOver();

    std::function<void(const std::string&)> sink_;
    std::string what_;
    std::chrono::steady_clock::time_point periodStart_{};
    bool inPeriod_ = false;
    QTimer owed_;  // armed only while lines are left out: fires when their period is over
    int lines_ = 0;
    std::uint64_t leftOut_ = 0;
};

}  // namespace corvane::service
