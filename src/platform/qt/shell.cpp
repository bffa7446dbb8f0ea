// The shell on a Linux desktop: web pages go to xdg-open, programs are started detached.
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <cerrno>
#include <cstring>

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

}  // namespace

ShellResult OpenUrl(WindowHandle /*owner*/, std::string_view url) {
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
    return StartDetached(opener, {target.toString(QUrl::FullyEncoded)}, {});
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
