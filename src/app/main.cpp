// Corvane's window: one instance per user, the main window as the start-up object. It holds no rights:
// the protection service (corvaned) protects and counts, and the window talks to it on the system bus.
#include <QApplication>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/gdi/sys_colors.h"
#include "platform/named_mutex.h"
#include "platform/program_folder.h"
#include "platform/protection_service.h"
#include "ui/main/display_check.h"
#include "ui/main/frm_main.h"

namespace {

// A termination request (the session ending, `kill`, Ctrl+C) closes the main window like its close
// command, so the tray icon is removed. The signal handler only writes a byte; the window thread does
// the rest.
int signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
    const char byte = 1;
    static_cast<void>(!::write(signalPipe[1], &byte, 1));
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

// How long a second start keeps trying to reach a holder that does not listen yet (it has just taken
// the lock) or any more (it is ending, and its lock goes with it), and how long it waits for its answer.
constexpr std::chrono::seconds kReachHolder{3};
constexpr std::chrono::seconds kHolderAnswer{30};

}  // namespace

int main(int argc, char** argv) {
    namespace platform = corvane::platform;
    // One instance per user. A second start asks the running one, through its lock's channel, to bring
    // its window to the front, and ends once it has, before any window or tray icon of its own exists.
    // Taking the lock is the test: of two starts at the same moment only one can take it.
    std::unique_ptr<platform::NamedMutex> instance;
    const auto reachBy = std::chrono::steady_clock::now() + kReachHolder;
    for (;;) {
        instance = std::make_unique<platform::NamedMutex>("Corvane");
        if (instance->Held() || instance->Result() != platform::kErrorAlreadyExists) break;
        const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
        const int asked = platform::AskHolderToShow(*instance, token != nullptr ? token : "", kHolderAnswer);
        if (asked == 0) return 0;
        if ((asked == ENOENT || asked == ECONNREFUSED) && std::chrono::steady_clock::now() < reachBy) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        std::fprintf(stderr, "corvane: already running, but the running window could not be asked to show (%s: %s)\n",
                     platform::ChannelPathOf(instance->HeldElsewherePath()).c_str(), std::strerror(asked));
        return 1;
    }
    for (const std::string& note : instance->Notes()) std::fprintf(stderr, "corvane: %s\n", note.c_str());
    if (!instance->Held()) {
        // No private folder for the lock at all: run without the one-instance guarantee rather than
        // leave the user without a window on the service.
        std::fprintf(stderr, "corvane: no one-instance lock (error %u); running without it\n", instance->Result());
    } else {
        if (!instance->Notes().empty())
            std::fprintf(stderr, "corvane: one-instance lock at %s\n", instance->Path().c_str());
        // Listening before anything slow: a start from now on waits in the channel's queue.
        if (const std::string why = instance->Listen(); !why.empty())
            std::fprintf(stderr, "corvane: a second start cannot bring this window back: %s\n", why.c_str());
    }

    // A display to show the window on, checked before Qt would end the program with its own words.
    corvane::ui::DisplayChoice display = corvane::ui::ChooseDisplay(corvane::ui::DisplayEnvironment::OfThisProcess());
    if (!display.usable) {
        std::fprintf(stderr,
                     "corvane: no display to show the window on: %s.\n"
                     "corvane: protection does not need the window: the service (corvaned) goes on protecting; "
                     "`corvanectl status` shows it.\n",
                     display.problem.c_str());
        return 2;
    }
    if (!display.platform.empty()) qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString(display.platform));

    // Qt's own event dispatcher: nothing in the program needs GLib's main loop.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    // Qt has its own connection now: the check's may go without leaving the X server clientless.
    display.connection.reset();
    QApplication::setApplicationName(QStringLiteral("Corvane"));
    QApplication::setQuitOnLastWindowClosed(false);  // the window hides to the tray
    // System colours (button face, button text, …) follow the desktop's palette.
    corvane::gdi::SetSysColorSource(corvane::gdi::PaletteSysColorSource(QApplication::palette()));

    // The program folder is where a downloaded setup program goes and what start-with-the-session
    // records; without one those two do without it.
    std::string programFolder;
    static_cast<void>(corvane::platform::GetProgramFolder(programFolder));

    // The service on the system bus; unreachable, the window says so and follows it once it comes.
    corvane::ui::FrmMain frmMain(programFolder, corvane::platform::ConnectProtectionService());
    frmMain.HoldInstance(std::move(instance));

    std::unique_ptr<QSocketNotifier> termination;
    if (InstallTerminationHandlers()) {
        termination = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(termination.get(), &QSocketNotifier::activated, [&frmMain] {
            char byte = 0;
            static_cast<void>(!::read(signalPipe[0], &byte, 1));
            frmMain.close();
        });
    }
    // The session manager asks to save before a logout, but also for session saves that end nothing.
    // The window has nothing to save (the service keeps the count and the switch), and it stays: no
    // handler, so the request neither closes it nor ends the program. The session's real end arrives
    // as a close or a termination signal.

    frmMain.Create();
    return QApplication::exec();
}
