// Corvane's start: one instance per user, the main window as the start-up object.
#include <QApplication>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/m_firewall.h"
#include "platform/connection_events.h"
#include "platform/gdi/sys_colors.h"
#include "platform/named_mutex.h"
#include "platform/program_folder.h"
#include "platform/thread_priority.h"
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

// The window while the event loop runs. When the X display goes away, Qt ends the process with exit()
// from inside the loop; the exit handler below saves the count on that way out.
corvane::ui::FrmMain* runningWindow = nullptr;

void SaveCountAtExit() {
    if (runningWindow != nullptr) runningWindow->SaveCount();
}

}  // namespace

int main(int argc, char** argv) {
    // A second start ends at once, silently, before any window or tray icon exists. Taking the lock is
    // the test: of two starts at the same moment only one can take it.
    auto instance = std::make_unique<corvane::platform::NamedMutex>("Corvane");
    for (const std::string& note : instance->Notes()) std::fprintf(stderr, "corvane: %s\n", note.c_str());
    if (!instance->Held()) {
        if (instance->Result() == corvane::platform::kErrorAlreadyExists) return 0;
        // No private folder for the lock at all: run without the one-instance guarantee rather than
        // leave the machine unprotected.
        std::fprintf(stderr, "corvane: no one-instance lock (error %u); running without it\n", instance->Result());
    } else if (!instance->Notes().empty()) {
        std::fprintf(stderr, "corvane: one-instance lock at %s\n", instance->Path().c_str());
    }

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
        // The event engine when it can load, unless the "Engine" setting keeps to the timer. Its kernel
        // side is made in the background while the timer protects, at the lowest priority: start-up
        // and the desktop never wait for it.
        return corvane::engine::mFirewall::CreateForSystem(
            host,
            corvane::settings::ReadTimerEngineForced() ? corvane::engine::EngineChoice::kTimer
                                                       : corvane::engine::EngineChoice::kAuto,
            [](std::size_t capacity) {
                // Refused: the load then takes its share of the processor like any other work.
                static_cast<void>(corvane::platform::RunThisThreadWhenIdle());
                return corvane::platform::CreateSystemConnectionEvents(capacity);
            },
            corvane::engine::EventsLoading::kInBackground);
    });
    frmMain.HoldInstance(std::move(instance));

    std::unique_ptr<QSocketNotifier> termination;
    if (InstallTerminationHandlers()) {
        termination = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(termination.get(), &QSocketNotifier::activated, [&frmMain] {
            char byte = 0;
            static_cast<void>(::read(signalPipe[0], &byte, 1));
            frmMain.close();
        });
    }
    // The session manager asks to save before a logout, but also for session saves that end nothing:
    // save the count and stay. The session's real end arrives as a close or a termination signal.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &frmMain, [&frmMain] { frmMain.SaveCount(); });
    // Any other quit of the application saves too.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &frmMain, [&frmMain] { frmMain.SaveCount(); });

    frmMain.Create();

    // Registered after start-up, so the exit handler runs before the destructors of everything start-up
    // made (the settings store's statics among them).
    runningWindow = &frmMain;
    if (std::atexit(SaveCountAtExit) != 0) std::fprintf(stderr, "corvane: no save at exit\n");
    const int code = QApplication::exec();
    runningWindow = nullptr;
    return code;
}
