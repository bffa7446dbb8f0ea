// The shell on a Linux desktop: web pages go to xdg-open, whose exit is watched through a process
// descriptor, programs are started detached.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/shell.h"
#include "platform/win32_error.h"

namespace corvane::platform {
namespace {

// The shell's own failure codes (32 or less), as its callers know them.
constexpr std::intptr_t kSeErrFileNotFound = 2;
constexpr std::intptr_t kSeErrAccessDenied = 5;
constexpr std::intptr_t kSeErrNoAssociation = 31;
constexpr std::intptr_t kStarted = 42;

ShellResult Failure(std::intptr_t code, std::uint32_t error, std::string description) {
    return ShellResult{code, error, std::move(description)};
}

ShellResult StartDetached(const QString& program, const QStringList& arguments, const QString& folder) {
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    if (!folder.isEmpty()) process.setWorkingDirectory(folder);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        return Failure(kSeErrAccessDenied, win32::kErrorAccessDenied,
                       program.toStdString() + ": " + process.errorString().toStdString());
    }
    return ShellResult{kStarted, 0, {}};
}

// How long a watched opener is looked at again when the kernel gives no process descriptor.
constexpr int kPollMs = 100;

extern "C" char** environ;

// Why xdg-open gave up, from its exit status (as its manual lists them).
ShellResult OpenerFailure(int status) {
    if (WIFSIGNALED(status))
        return Failure(
            kSeErrNoAssociation, win32::kErrorGenFailure,
            "the program that opens web pages (xdg-open) was ended by signal " + std::to_string(WTERMSIG(status)));
    const int code = WEXITSTATUS(status);
    std::string why;
    std::uint32_t error = win32::kErrorGenFailure;
    switch (code) {
        case 1:
            why = "it was called wrongly";
            break;
        case 2:
            why = "the page or a file it needs does not exist";
            error = win32::kErrorFileNotFound;
            break;
        case 3:
            why = "no program to open web pages (a browser) was found";
            error = win32::kErrorFileNotFound;
            break;
        case 4:
            why = "the program meant to open web pages failed";
            break;
        default:
            why = "it failed";
            break;
    }
    return Failure(
        kSeErrNoAssociation, error,
        "the help page could not be opened: xdg-open ended with status " + std::to_string(code) + " (" + why + ")");
}

// Waits for one started opener without blocking: a process descriptor becomes readable when the
// process ends (else the process is looked at every kPollMs). The watcher belongs to the
// application object and deletes itself once the process is reaped.
class OpenerWatch final : public QObject {
public:
    OpenerWatch(pid_t pid, ShellFailureHandler failed)
        : QObject(QCoreApplication::instance()), pid_(pid), failed_(std::move(failed)) {
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd_ >= 0) {
            notifier_ = std::make_unique<QSocketNotifier>(pidfd_, QSocketNotifier::Read);
            connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Look(); });
        } else {
            connect(&poll_, &QTimer::timeout, this, [this] { Look(); });
            poll_.start(kPollMs);
        }
    }
    ~OpenerWatch() override {
        notifier_.reset();
        if (pidfd_ >= 0) static_cast<void>(::close(pidfd_));
    }
    OpenerWatch(const OpenerWatch&) = delete;
    OpenerWatch& operator=(const OpenerWatch&) = delete;

private:
    void Look() {
        int status = 0;
        const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
        if (ended == 0) return;  // still running
        if (notifier_) notifier_->setEnabled(false);
        poll_.stop();
        // ended < 0: reaped elsewhere or no child at all; nothing more can be known.
        if (ended == pid_ && !(WIFEXITED(status) && WEXITSTATUS(status) == 0) && failed_)
            failed_(OpenerFailure(status));
        deleteLater();
    }

    pid_t pid_;
    ShellFailureHandler failed_;
    int pidfd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer poll_;
};

// Starts the opener in a session of its own (it outlives this program, like a detached process),
// its input from /dev/null. Sets `pid`; the result says whether it started.
ShellResult SpawnOpener(const QString& opener, const QString& target, pid_t& pid) {
    const std::string program = opener.toStdString();
    const std::string argument = target.toStdString();
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (::posix_spawn_file_actions_init(&actions) != 0)
        return Failure(kSeErrAccessDenied, win32::kErrorNotEnoughMemory, "cannot prepare to start xdg-open");
    if (::posix_spawnattr_init(&attributes) != 0) {
        static_cast<void>(::posix_spawn_file_actions_destroy(&actions));
        return Failure(kSeErrAccessDenied, win32::kErrorNotEnoughMemory, "cannot prepare to start xdg-open");
    }
    int rc = ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>(argument.c_str()), nullptr};
    if (rc == 0) rc = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    static_cast<void>(::posix_spawnattr_destroy(&attributes));
    static_cast<void>(::posix_spawn_file_actions_destroy(&actions));
    if (rc != 0) return Failure(kSeErrAccessDenied, Win32FromErrno(rc), program + ": " + std::strerror(rc));
    return ShellResult{kStarted, 0, {}};
}

}  // namespace

ShellResult OpenUrl(WindowHandle /*owner*/, std::string_view url, ShellFailureHandler failedLater) {
    const QUrl target(QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())), QUrl::StrictMode);
    const QString scheme = target.scheme().toLower();
    // Only addresses go to the opener, never something it could take for an option.
    if (!target.isValid() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https") && scheme != QLatin1String("file")))
        return Failure(kSeErrFileNotFound, win32::kErrorInvalidParameter, "not a web address");
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty())
        return Failure(kSeErrNoAssociation, win32::kErrorFileNotFound,
                       "no program to open web pages (xdg-open) was found");
    pid_t pid = -1;
    const ShellResult started = SpawnOpener(opener, target.toString(QUrl::FullyEncoded), pid);
    if (!started.Succeeded()) return started;
    // The watcher belongs to the application object (and reaps the opener); without one the opener
    // is left to end on its own.
    if (QCoreApplication::instance() != nullptr) new OpenerWatch(pid, std::move(failedLater));
    return started;
}

ShellResult StartProgram(WindowHandle /*owner*/, std::string_view path) {
    const std::string file(path);
    struct stat status {};
    if (::lstat(file.c_str(), &status) != 0) {
        const int error = errno;
        return Failure(kSeErrFileNotFound, error == ENOENT ? win32::kErrorFileNotFound : Win32FromErrno(error),
                       file + ": " + std::strerror(error));
    }
    // A link could point anywhere; only the regular file this user owns is started.
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid())
        return Failure(kSeErrAccessDenied, win32::kErrorAccessDenied, file + ": not a file of this user");
    if ((status.st_mode & S_IXUSR) == 0 && ::chmod(file.c_str(), (status.st_mode & 07777) | S_IXUSR) != 0)
        return Failure(kSeErrAccessDenied, Win32FromErrno(errno), file + ": " + std::strerror(errno));
    const QString program = QString::fromStdString(file);
    return StartDetached(program, {}, QFileInfo(program).absolutePath());
}

}  // namespace corvane::platform
