// corvaned: Corvane's protection service. Runs as its own system user with only the capabilities
// the engine needs; see corvaned(8).
#include <QCoreApplication>
#include <QStringList>

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "service/protection_daemon.h"
#include "service/service_options.h"
#include "service/termination_signals.h"

int main(int argc, char** argv) {
    // What the service writes is its own unless it says otherwise (qd.def and the settings store set
    // their modes themselves).
    static_cast<void>(::umask(077));

    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    corvane::service::ServiceOptions options;
    std::string error;
    if (!corvane::service::ParseServiceOptions(arguments, options, error)) {
        std::fprintf(stderr, "corvaned: %s\n%s", error.c_str(), corvane::service::ServiceUsage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(corvane::service::ServiceUsage().c_str(), stdout);
        return 0;
    }

    // Qt's own event dispatcher (the 1 ms tick costs about half through it), and no plugins from
    // anywhere.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication::setLibraryPaths(QStringList());
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvaned"));

    corvane::service::ProtectionDaemon daemon(options);
    corvane::service::TerminationSignals termination;
    if (!termination.Install(
            [&daemon](int signal) {
                if (signal == SIGHUP) {
                    // As `corvanectl reload`: qd.def, the settings and the lists read again.
                    daemon.Reload([](const corvane::service::RequestResult&) {});
                    return;
                }
                daemon.Stop();
                QCoreApplication::exit(0);
            },
            error)) {
        std::fprintf(stderr, "corvaned: no orderly end on SIGTERM: %s\n", error.c_str());
        return 1;
    }
    if (!daemon.Start(error)) {
        std::fprintf(stderr, "corvaned: %s\n", error.c_str());
        daemon.Stop();
        return 1;
    }
    const int code = QCoreApplication::exec();
    daemon.Stop();
    return code;
}
