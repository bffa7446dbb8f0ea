#pragma once
// The signals a service meets: SIGTERM, SIGINT, SIGUSR1, SIGUSR2 and SIGALRM end it in order (by
// default the kernel would end it on the spot, the count unstored), SIGHUP asks it to read its
// files again, SIGPIPE is ignored (a peer gone is an error of one write, not the service's end).
// The handler only writes the signal's number to a socket pair; the event loop reads it and runs
// the handler given here.
#include <QObject>
#include <QSocketNotifier>

#include <csignal>
#include <functional>
#include <memory>
#include <string>

#include "platform/unique_fd.h"

namespace corvane::service {

class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // The signals that end the service; SIGHUP is handed on as well.
    static constexpr int kEnding[] = {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGALRM};

    // Installs the handlers; false, with `why`, when the system refused. One instance at a time.
    bool Install(std::function<void(int signal)> onSignal, std::string& why);

private:
    platform::UniqueFd readEnd_;
    platform::UniqueFd writeEnd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void(int)> onSignal_;
    bool installed_ = false;
};

}  // namespace corvane::service
