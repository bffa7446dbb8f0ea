#pragma once
// SIGTERM and SIGINT end the service in order. The handler only writes a byte to a socket pair; the
// event loop reads it and runs the handler given here.
#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>
#include <string>

#include "platform/linux/unique_fd.h"

namespace corvane::service {

class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // Installs the handlers; false, with `why`, when the system refused. One instance at a time.
    bool Install(std::function<void(int signal)> onSignal, std::string& why);

private:
    platform::linux_impl::UniqueFd readEnd_;
    platform::linux_impl::UniqueFd writeEnd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void(int)> onSignal_;
    bool installed_ = false;
};

}  // namespace corvane::service
