// Corvane's start: one instance per desktop session, the main window as the start-up object.
#include <QApplication>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>

#include "engine/m_firewall.h"
#include "platform/gdi/sys_colors.h"
#include "platform/named_mutex.h"
#include "platform/program_folder.h"
#include "settings/settings_table.h"
#include "ui/main/frm_main.h"

namespace {

// A termination request (the session ending, `kill`, Ctrl+C) closes the main window like its close
// command, so the count is saved and the tray icon removed. The signal handler only writes a byte;
// the window thread does the rest.
int signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
    const char byte = 1;
    static_cast<void>(::write(signalPipe[1], &byte, 1));
}

bool InstallTerminationHandlers() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return false;
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGHUP, &action, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A second start ends at once, silently, before any window or tray icon exists.
    if (corvane::platform::NamedMutexHeldElsewhere("Corvane")) return 0;

    // Qt's own event dispatcher: the scan timer wakes the program a thousand times a second, and each
    // wake-up through Qt's dispatcher costs about half of what it costs through GLib's main loop.
    // Nothing in the program needs GLib's loop.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvane"));
    QApplication::setQuitOnLastWindowClosed(false);  // the window hides to the tray
    // System colours (button face, button text, …) follow the desktop's palette.
    corvane::gdi::SetSysColorSource(corvane::gdi::PaletteSysColorSource(QApplication::palette()));

    // Without a program folder there is no qd.def to find: the program then runs with an empty list.
    std::string programFolder;
    static_cast<void>(corvane::platform::GetProgramFolder(programFolder));

    corvane::ui::FrmMain frmMain(programFolder, [](corvane::engine::ScanHost& host) {
        // The event engine when it can load, unless the "Engine" setting keeps to the timer.
        return corvane::engine::mFirewall::CreateForSystem(host, corvane::settings::ReadTimerEngineForced()
                                                                     ? corvane::engine::EngineChoice::kTimer
                                                                     : corvane::engine::EngineChoice::kAuto);
    });

    std::unique_ptr<QSocketNotifier> termination;
    if (InstallTerminationHandlers()) {
        termination = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(termination.get(), &QSocketNotifier::activated, [&frmMain] {
            char byte = 0;
            static_cast<void>(::read(signalPipe[0], &byte, 1));
            frmMain.close();
        });
    }
    // Logging out or shutting down closes the window too.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &frmMain, [&frmMain] { frmMain.close(); });

    frmMain.Create();
    return QApplication::exec();
}
