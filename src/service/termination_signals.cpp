#include "service/termination_signals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace corvane::service {

namespace {

// The write end for the handler; -1 while no instance is installed.
volatile sig_atomic_t gWriteEnd = -1;

void OnSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    static_cast<void>(!::write(gWriteEnd, &byte, 1));  // a full pipe already holds a request to end
    errno = saved;
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {}

TerminationSignals::~TerminationSignals() {
    if (!installed_) return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signal : kEnding) static_cast<void>(::sigaction(signal, &action, nullptr));
    static_cast<void>(::sigaction(SIGHUP, &action, nullptr));
    static_cast<void>(::sigaction(SIGPIPE, &action, nullptr));
    gWriteEnd = -1;
}

bool TerminationSignals::Install(std::function<void(int)> onSignal, std::string& why) {
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0) {
        why = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    readEnd_ = platform::UniqueFd(ends[0]);
    writeEnd_ = platform::UniqueFd(ends[1]);
    onSignal_ = std::move(onSignal);
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_.Get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        if (::read(readEnd_.Get(), &byte, 1) != 1) return;
        if (onSignal_) onSignal_(byte);
    });
    gWriteEnd = writeEnd_.Get();
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    bool installed = ::sigaction(SIGHUP, &action, nullptr) == 0 && ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
    for (const int signal : kEnding) installed = installed && ::sigaction(signal, &action, nullptr) == 0;
    if (!installed) {
        why = std::string("sigaction: ") + std::strerror(errno);
        gWriteEnd = -1;
        return false;
    }
    installed_ = true;
    return true;
}

}  // namespace corvane::service
